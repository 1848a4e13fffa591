// The status dialogs: each install's progress in a dialog of its own.
// The worker only posts (postStatusLine, postInstallFinished); the event
// loop receives each event through a pipe and updates the dialog of the
// install that runs. A finished install's dialog stays until its OK, even
// while a later install runs in a dialog of its own.
#pragma once

#include <Xm/Xm.h>

struct StatusHooks {
    void (*finished)();             // the install has ended (after the goodbye step)
    void (*ok)(bool closeProgram);  // a dialog's "OK": its own closeProgram flag
};

// Once, before any install: watches the status pipe from the event loop.
void initStatus(XtAppContext app, StatusHooks hooks);
// The dialog of a new install: "Installing ONX Server...", an empty status
// text, "OK" insensitive and the watch cursor until the install has
// finished. closeProgram is handed to the ok hook when its OK is pressed.
void openStatusDialog(Widget parent, bool closeProgram);
// Event loop side: a line appended to the running install's status text.
void showStatusLine(const char* text);
// Worker side; safe from any thread. postStatusLine is a status callback.
void postStatusLine(const char* text);
void postInstallFinished();
