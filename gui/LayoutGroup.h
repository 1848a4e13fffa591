// Label and field rows stacked in a vertical group, every label of the
// same width so that the fields line up.
#pragma once

#include <Xm/Xm.h>

struct LayoutRow {
    Widget row;  // the label group: pass it as the field's parent
    Widget label;
};

// "VerticalGroup": rows stacked top to bottom.
Widget createVerticalGroup(Widget parent);
// A label group holding the label (labelChars characters wide); the caller
// adds the field with layoutRowField.
LayoutRow addLayoutRow(Widget group, const char* label, int labelChars);
// Places field to the right of the row's label.
void layoutRowField(const LayoutRow& row, Widget field);
