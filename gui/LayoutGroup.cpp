#include "gui/LayoutGroup.h"

#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/RowColumn.h>

#include <string>

Widget createVerticalGroup(Widget parent) {
    return XtVaCreateManagedWidget("VerticalGroup", xmRowColumnWidgetClass, parent, XmNorientation,
                                   XmVERTICAL, XmNpacking, XmPACK_TIGHT, nullptr);
}

LayoutRow addLayoutRow(Widget group, const char* label, int labelChars) {
    LayoutRow r;
    r.row = XtVaCreateManagedWidget("LabelGroup", xmFormWidgetClass, group, nullptr);
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

void layoutRowField(const LayoutRow& row, Widget field) {
    XtVaSetValues(field, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, row.label,
                  XmNtopAttachment, XmATTACH_FORM, XmNbottomAttachment, XmATTACH_FORM, nullptr);
}
