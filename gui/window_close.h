// What a shell does when the window manager is asked to close it.
#pragma once

#include <Xm/Xm.h>

// The shell stays as it is and proc runs instead (with data), as if one of
// the window's own buttons had been pressed.
void onWindowClose(Widget shell, XtCallbackProc proc, XtPointer data);
