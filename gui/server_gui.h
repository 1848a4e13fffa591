// The windows of the front end: the main window with the general fields,
// the options dialog with the locations and start options, the help,
// confirmation and status dialogs, and what their buttons do.
#pragma once

#include <Xm/Xm.h>

#include <string>

#include "engine/Args.h"
#include "gui/server_common.h"

struct Gui {
    XtAppContext app = nullptr;
    Widget top = nullptr;
    FieldLists lists;
    std::string statusFileName = kDefaultStatusFileName;
    ArgInfo savedArgInfo;  // the settings at start-up
};

// Builds every window from gui.lists, realises the main window and pops the
// options dialog up. gui must outlive the event loop.
void buildWindows(Gui& gui);
