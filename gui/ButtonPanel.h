// A form holding the window's content above a separator and a row of
// buttons along the bottom. The buttons keep their natural size and are
// spread with equal gaps; when the window grows or shrinks the content
// takes the change and the row stays whole at the bottom.
#pragma once

#include <Xm/Xm.h>

struct ButtonPanel {
    Widget holder;   // "ButtonHolder": the whole panel
    Widget content;  // "OuterGroup": the caller's widgets go here
    Widget sep;
    Widget buttons;  // the row of buttons
    int count = 0;   // buttons the row will hold
};

// The panel's button row must know how many buttons it will hold.
ButtonPanel createButtonPanel(Widget parent, int buttonCount);
// Adds the next button of the row; the default button answers Return.
Widget addPanelButton(ButtonPanel& panel, const char* label, XtCallbackProc callback,
                      XtPointer data, bool isDefault = false);
// Tells the window manager how small the panel's shell may be made: the
// size that still shows every button whole at its natural size.
void setMinimumShellSize(const ButtonPanel& panel, Widget shell);
