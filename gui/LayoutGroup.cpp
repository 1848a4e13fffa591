#include "gui/LayoutGroup.h"

#include <Xm/Form.h>
#include <Xm/Label.h>

#include <string>

namespace {

const int kRowSpacing = 3;

// The group's last row, or null.
Widget lastRow(Widget group) {
    WidgetList children = nullptr;
    Cardinal count = 0;
    XtVaGetValues(group, XmNchildren, &children, XmNnumChildren, &count, nullptr);
    return count ? children[count - 1] : nullptr;
}

}  // namespace

Widget createVerticalGroup(Widget parent) {
    return XtVaCreateManagedWidget("VerticalGroup", xmFormWidgetClass, parent, nullptr);
}

LayoutRow addLayoutRow(Widget group, const char* label, int labelChars) {
    LayoutRow r;
    Widget above = lastRow(group);
    r.row = XtVaCreateManagedWidget("LabelGroup", xmFormWidgetClass, group, XmNleftAttachment,
                                    XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    if (above)
        XtVaSetValues(r.row, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, above, XmNtopOffset,
                      kRowSpacing, nullptr);
    else
        XtVaSetValues(r.row, XmNtopAttachment, XmATTACH_FORM, nullptr);
    XmString text = XmStringCreateLocalized(const_cast<char*>(label));
    r.label = XtVaCreateManagedWidget(
        "Label", xmLabelWidgetClass, r.row, XmNlabelString, text, XmNalignment,
        XmALIGNMENT_BEGINNING, XmNleftAttachment, XmATTACH_FORM, XmNtopAttachment, XmATTACH_FORM,
        XmNbottomAttachment, XmATTACH_FORM, XmNrecomputeSize, False, nullptr);
    XmStringFree(text);
    // The width of labelChars average characters of the label's font.
    XmRenderTable font = nullptr;
    XtVaGetValues(r.label, XmNrenderTable, &font, nullptr);
    XmString sample =
        XmStringCreateLocalized(const_cast<char*>(std::string(size_t(labelChars), 'n').c_str()));
    Dimension width = XmStringWidth(font, sample);
    XmStringFree(sample);
    if (width > 0) XtVaSetValues(r.label, XmNwidth, width, nullptr);
    return r;
}

void layoutRowField(const LayoutRow& row, Widget field, bool stretch) {
    XtVaSetValues(field, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, row.label,
                  XmNtopAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_FORM,
                  XmNrightAttachment, stretch ? XmATTACH_FORM : XmATTACH_NONE, nullptr);
}
