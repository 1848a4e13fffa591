#include "gui/window_close.h"

#include <Xm/Protocols.h>

void onWindowClose(Widget shell, XtCallbackProc proc, XtPointer data) {
    XtVaSetValues(shell, XmNdeleteResponse, XmDO_NOTHING, nullptr);
    Atom deleteWindow =
        XmInternAtom(XtDisplay(shell), const_cast<char*>("WM_DELETE_WINDOW"), False);
    XmAddWMProtocolCallback(shell, deleteWindow, proc, data);
}
