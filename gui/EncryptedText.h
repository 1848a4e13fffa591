// A single-line text field that echoes nothing: every typed character is
// shown as a blank while the real text is kept beside the widget.
#pragma once

#include <Xm/Xm.h>

#include <string>

Widget createEncryptedText(Widget parent, const char* name, int columns);
// The text as typed.
std::string encryptedTextValue(Widget w);
// Replaces the text (shown as blanks).
void setEncryptedTextValue(Widget w, const std::string& value);
