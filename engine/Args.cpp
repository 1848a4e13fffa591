#include "engine/Args.h"

ArgInfo argInfo;
