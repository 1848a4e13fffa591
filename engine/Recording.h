// Recording the installation with the framework: the server's recording
// script, filled with where every install type went during the run, the
// product index and the run's whole configuration.
#pragma once

#include "model/Str.h"

class InstallHost;

// script with its placeholders replaced, in this order: "%Catalog%",
// "%Locations%", "%revision%", "%number_patch_aliases%", "%patch_aliases%"
// and "%Variables%".
Str fillRecordingScript(Str script);

// Runs the filled "@SetAttrs@" on server through its shell; nothing is run,
// and nothing shown, when that template is empty. The script's result is
// not examined.
void recordInstallation(InstallHost& server);
