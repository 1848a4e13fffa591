// Label and field rows stacked in a vertical group, every label of the
// same width so that the fields line up. A stretching field takes the
// width the group gains when its window grows.
#pragma once

#include <Xm/Xm.h>

struct LayoutRow {
    Widget row;  // the label group: pass it as the field's parent
    Widget label;
};

// "VerticalGroup": rows stacked top to bottom, as wide as the group.
Widget createVerticalGroup(Widget parent);
// A label group holding the label (labelChars characters wide) below the
// group's last row; the caller adds the field with layoutRowField.
LayoutRow addLayoutRow(Widget group, const char* label, int labelChars);
// Places field to the right of the row's label; a stretching field reaches
// the row's right edge.
void layoutRowField(const LayoutRow& row, Widget field, bool stretch);
