// A form holding the window's content above a separator and a row of
// buttons spread evenly along the bottom.
#pragma once

#include <Xm/Xm.h>

struct ButtonPanel {
    Widget holder;   // "ButtonHolder": the whole panel
    Widget content;  // "OuterGroup": the caller's widgets go here
    Widget buttons;  // the row of buttons
    int count = 0;
};

// The panel's button row must know how many buttons it will hold.
ButtonPanel createButtonPanel(Widget parent, int buttonCount);
// Adds the next button of the row; the default button answers Return.
Widget addPanelButton(ButtonPanel& panel, const char* label, XtCallbackProc callback,
                      XtPointer data, bool isDefault = false);
