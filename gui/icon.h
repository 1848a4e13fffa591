// The product icon shown in the windows and as the shell's icon.
#pragma once

#include <Xm/Xm.h>

// The icon for w's screen; None (after a message on standard error) when it
// cannot be made.
Pixmap createIconPixmap(Widget w);
