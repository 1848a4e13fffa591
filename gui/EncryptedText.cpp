#include "gui/EncryptedText.h"

#include <Xm/Text.h>

namespace {

std::string* hiddenText(Widget w) {
    XtPointer data = nullptr;
    XtVaGetValues(w, XmNuserData, &data, nullptr);
    return static_cast<std::string*>(data);
}

// Keeps the widget's characters and the real text in step: the edit is
// applied to the real text and the inserted characters become blanks.
void modifyVerify(Widget w, XtPointer, XtPointer callData) {
    auto* cbs = static_cast<XmTextVerifyCallbackStruct*>(callData);
    std::string* text = hiddenText(w);
    if (!text) return;
    size_t start = size_t(cbs->startPos), end = size_t(cbs->endPos);
    if (start > text->size()) start = text->size();
    if (end > text->size()) end = text->size();
    std::string inserted;
    if (cbs->text && cbs->text->ptr) inserted.assign(cbs->text->ptr, size_t(cbs->text->length));
    text->replace(start, end - start, inserted);
    for (int i = 0; cbs->text && cbs->text->ptr && i < cbs->text->length; ++i)
        cbs->text->ptr[i] = ' ';
}

void destroyed(Widget w, XtPointer, XtPointer) {
    delete hiddenText(w);
}

}  // namespace

Widget createEncryptedText(Widget parent, const char* name, int columns) {
    Widget w = XtVaCreateManagedWidget(name, xmTextWidgetClass, parent, XmNcolumns, columns,
                                       XmNeditMode, XmSINGLE_LINE_EDIT, XmNuserData,
                                       static_cast<XtPointer>(new std::string), nullptr);
    XtAddCallback(w, XmNmodifyVerifyCallback, modifyVerify, nullptr);
    XtAddCallback(w, XmNdestroyCallback, destroyed, nullptr);
    return w;
}

std::string encryptedTextValue(Widget w) {
    std::string* text = hiddenText(w);
    return text ? *text : std::string();
}

void setEncryptedTextValue(Widget w, const std::string& value) {
    XmTextSetString(w, const_cast<char*>(value.c_str()));
}
