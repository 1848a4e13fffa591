// The status dialog: the install's progress while the worker thread runs.
// The worker only posts (postStatusLine, postInstallFinished); the event
// loop receives each event through a pipe and updates the widgets.
#pragma once

#include <Xm/Xm.h>

struct StatusHooks {
    void (*finished)();  // the install has ended (after the goodbye step)
    void (*ok)();        // "OK" was pressed, the dialog is gone
};

// Once, before any install: watches the status pipe from the event loop.
void initStatus(XtAppContext app, StatusHooks hooks);
// "Installing ONX Server...", an empty status text, "OK" insensitive and the
// watch cursor until the install has finished.
void openStatusDialog(Widget parent);
// Worker side; safe from any thread. postStatusLine is a status callback.
void postStatusLine(const char* text);
void postInstallFinished();
