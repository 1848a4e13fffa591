#include "gui/ButtonPanel.h"

#include <Xm/Form.h>
#include <Xm/PushB.h>
#include <Xm/Separator.h>

namespace {

const int kMargin = 8;
const int kMinGap = 8;  // between buttons, and at each end, in the narrowest row

// A push button is made at its natural size, and the form leaves it so.
Dimension widthOf(Widget w) {
    Dimension width = 0;
    XtVaGetValues(w, XmNwidth, &width, nullptr);
    return width;
}

Dimension heightOf(Widget w) {
    Dimension height = 0;
    XtVaGetValues(w, XmNheight, &height, nullptr);
    return height;
}

WidgetList buttonsOf(const ButtonPanel& panel, Cardinal& count) {
    WidgetList children = nullptr;
    XtVaGetValues(panel.buttons, XmNchildren, &children, XmNnumChildren, &count, nullptr);
    return children;
}

// Button i of n starts at (i + 1) / (n + 1) of the row's width, less the
// part of the widths of all buttons that falls before it: every gap is then
// (row width - sum of the widths) / (n + 1), whatever the row's width.
void spreadButtons(const ButtonPanel& panel) {
    Cardinal count = 0;
    WidgetList children = buttonsOf(panel, count);
    const int slots = panel.count + 1;
    int sum = 0;
    for (Cardinal i = 0; i < count; ++i) sum += widthOf(children[i]);
    int before = 0;
    for (Cardinal i = 0; i < count; ++i) {
        int position = int(i) + 1;
        XtVaSetValues(children[i], XmNleftAttachment, XmATTACH_POSITION, XmNleftPosition, position,
                      XmNleftOffset, before - sum * position / slots, nullptr);
        before += widthOf(children[i]);
    }
}

}  // namespace

ButtonPanel createButtonPanel(Widget parent, int buttonCount) {
    ButtonPanel panel;
    panel.holder = XtVaCreateManagedWidget("ButtonHolder", xmFormWidgetClass, parent, nullptr);
    // The content is made first so that keyboard traversal visits it before
    // the buttons. It is attached at both ends so that it alone grows and
    // shrinks with the window.
    panel.content = XtVaCreateManagedWidget(
        "OuterGroup", xmFormWidgetClass, panel.holder, XmNtopAttachment, XmATTACH_FORM,
        XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, XmNtopOffset, kMargin,
        XmNleftOffset, kMargin, XmNrightOffset, kMargin, nullptr);
    panel.buttons = XtVaCreateManagedWidget(
        "Buttons", xmFormWidgetClass, panel.holder, XmNfractionBase, buttonCount + 1,
        XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, XmNbottomAttachment,
        XmATTACH_FORM, XmNbottomOffset, kMargin, nullptr);
    panel.sep = XtVaCreateManagedWidget(
        "Sep", xmSeparatorWidgetClass, panel.holder, XmNleftAttachment, XmATTACH_FORM,
        XmNrightAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget,
        panel.buttons, XmNbottomOffset, kMargin, nullptr);
    XtVaSetValues(panel.content, XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget, panel.sep,
                  XmNbottomOffset, kMargin, nullptr);
    panel.count = buttonCount;
    return panel;
}

Widget addPanelButton(ButtonPanel& panel, const char* label, XtCallbackProc callback,
                      XtPointer data, bool isDefault) {
    XmString text = XmStringCreateLocalized(const_cast<char*>(label));
    Widget button =
        XtVaCreateManagedWidget(label, xmPushButtonWidgetClass, panel.buttons, XmNlabelString, text,
                                XmNtopAttachment, XmATTACH_FORM, XmNshowAsDefault,
                                isDefault ? 1 : 0, XmNdefaultButtonShadowThickness, 1, nullptr);
    XmStringFree(text);
    XtAddCallback(button, XmNactivateCallback, callback, data);
    if (isDefault) XtVaSetValues(panel.holder, XmNdefaultButton, button, nullptr);
    spreadButtons(panel);
    return button;
}

void setMinimumShellSize(const ButtonPanel& panel, Widget shell) {
    Cardinal count = 0;
    WidgetList children = buttonsOf(panel, count);
    int width = kMinGap * (int(count) + 1), height = 0;
    for (Cardinal i = 0; i < count; ++i) {
        width += widthOf(children[i]);
        if (heightOf(children[i]) > height) height = heightOf(children[i]);
    }
    // Margins above and below the content, below the separator and at the bottom.
    height += 4 * kMargin + heightOf(panel.sep);
    XtVaSetValues(shell, XmNminWidth, width, XmNminHeight, height, nullptr);
}
