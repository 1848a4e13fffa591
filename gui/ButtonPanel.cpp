#include "gui/ButtonPanel.h"

#include <Xm/Form.h>
#include <Xm/PushB.h>
#include <Xm/Separator.h>

namespace {

const int kSlotWidth = 10;  // form positions per button
const int kMargin = 8;

}  // namespace

ButtonPanel createButtonPanel(Widget parent, int buttonCount) {
    ButtonPanel panel;
    panel.holder = XtVaCreateManagedWidget("ButtonHolder", xmFormWidgetClass, parent, nullptr);
    // The content is made first so that keyboard traversal visits it before
    // the buttons.
    panel.content = XtVaCreateManagedWidget(
        "OuterGroup", xmFormWidgetClass, panel.holder, XmNtopAttachment, XmATTACH_FORM,
        XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, XmNtopOffset, kMargin,
        XmNleftOffset, kMargin, XmNrightOffset, kMargin, nullptr);
    Widget sep = XtVaCreateManagedWidget(
        "Sep", xmSeparatorWidgetClass, panel.holder, XmNleftAttachment, XmATTACH_FORM,
        XmNrightAttachment, XmATTACH_FORM, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget,
        panel.content, XmNtopOffset, kMargin, nullptr);
    panel.buttons = XtVaCreateManagedWidget(
        "Buttons", xmFormWidgetClass, panel.holder, XmNfractionBase, buttonCount * kSlotWidth,
        XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, XmNtopAttachment,
        XmATTACH_WIDGET, XmNtopWidget, sep, XmNtopOffset, kMargin, XmNbottomAttachment,
        XmATTACH_FORM, XmNbottomOffset, kMargin, nullptr);
    return panel;
}

Widget addPanelButton(ButtonPanel& panel, const char* label, XtCallbackProc callback,
                      XtPointer data, bool isDefault) {
    XmString text = XmStringCreateLocalized(const_cast<char*>(label));
    int slot = panel.count++ * kSlotWidth;
    Widget button = XtVaCreateManagedWidget(
        label, xmPushButtonWidgetClass, panel.buttons, XmNlabelString, text, XmNleftAttachment,
        XmATTACH_POSITION, XmNleftPosition, slot + 1, XmNrightAttachment, XmATTACH_POSITION,
        XmNrightPosition, slot + kSlotWidth - 1, XmNtopAttachment, XmATTACH_FORM,
        XmNbottomAttachment, XmATTACH_FORM, XmNshowAsDefault, isDefault ? 1 : 0,
        XmNdefaultButtonShadowThickness, 1, nullptr);
    XmStringFree(text);
    XtAddCallback(button, XmNactivateCallback, callback, data);
    if (isDefault) XtVaSetValues(panel.holder, XmNdefaultButton, button, nullptr);
    return button;
}
