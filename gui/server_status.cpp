#include "gui/server_status.h"

#include <X11/cursorfont.h>
#include <Xm/MessageB.h>
#include <Xm/Text.h>

#include <memory>

#include "gui/status_channel.h"

namespace {

struct StatusState {
    std::unique_ptr<StatusChannel> channel;
    StatusHooks hooks{};
    Widget dialog = nullptr;
    Widget text = nullptr;
    Cursor watch = None;
};

StatusState state;

void setString(Widget w, const char* resource, const char* value) {
    XmString s = XmStringCreateLocalized(const_cast<char*>(value));
    XtVaSetValues(w, resource, s, nullptr);
    XmStringFree(s);
}

void appendLine(const std::string& line) {
    if (!state.text) return;
    XmTextPosition end = XmTextGetLastPosition(state.text);
    XmTextInsert(state.text, end, const_cast<char*>(line.c_str()));
    XmTextShowPosition(state.text, XmTextGetLastPosition(state.text));
}

void installFinished() {
    if (state.dialog) {
        Widget ok = XmMessageBoxGetChild(state.dialog, XmDIALOG_OK_BUTTON);
        XtSetSensitive(ok, True);
        XmProcessTraversal(ok, XmTRAVERSE_CURRENT);  // Return now answers OK
        if (XtIsRealized(XtParent(state.dialog)))
            XUndefineCursor(XtDisplay(state.dialog), XtWindow(XtParent(state.dialog)));
    }
    state.hooks.finished();
}

void statusInput(XtPointer, int*, XtInputId*) {
    StatusChannel::Event event;
    if (!state.channel->receive(event)) return;
    if (event.kind == StatusChannel::LINE)
        appendLine(event.text);
    else
        installFinished();
}

void okPressed(Widget, XtPointer, XtPointer) {
    XtDestroyWidget(XtParent(state.dialog));
    state.dialog = state.text = nullptr;
    state.hooks.ok();
}

}  // namespace

void initStatus(XtAppContext app, StatusHooks hooks) {
    state.channel = std::make_unique<StatusChannel>();
    state.hooks = hooks;
    XtAppAddInput(app, state.channel->readFd(), reinterpret_cast<XtPointer>(XtInputReadMask),
                  statusInput, nullptr);
}

void openStatusDialog(Widget parent) {
    Arg args[1];
    XtSetArg(args[0], XmNautoUnmanage, False);
    state.dialog = XmCreateWorkingDialog(parent, const_cast<char*>("Status"), args, 1);
    XtVaSetValues(XtParent(state.dialog), XmNtitle, "ONX Install", XmNdeleteResponse, XmDO_NOTHING,
                  nullptr);
    setString(state.dialog, XmNmessageString, "Installing ONX Server...");
    setString(state.dialog, XmNokLabelString, "OK");
    XtUnmanageChild(XmMessageBoxGetChild(state.dialog, XmDIALOG_CANCEL_BUTTON));
    XtUnmanageChild(XmMessageBoxGetChild(state.dialog, XmDIALOG_HELP_BUTTON));
    Widget ok = XmMessageBoxGetChild(state.dialog, XmDIALOG_OK_BUTTON);
    XtSetSensitive(ok, False);
    XtAddCallback(state.dialog, XmNokCallback, okPressed, nullptr);
    Arg textArgs[6];
    int n = 0;
    XtSetArg(textArgs[n], XmNeditMode, XmMULTI_LINE_EDIT), ++n;
    XtSetArg(textArgs[n], XmNeditable, False), ++n;
    XtSetArg(textArgs[n], XmNcursorPositionVisible, False), ++n;
    XtSetArg(textArgs[n], XmNtraversalOn, False), ++n;  // Return belongs to OK
    XtSetArg(textArgs[n], XmNrows, 15), ++n;
    XtSetArg(textArgs[n], XmNcolumns, 70), ++n;
    state.text = XmCreateScrolledText(state.dialog, const_cast<char*>("StatusText"), textArgs, n);
    XtManageChild(state.text);
    XtManageChild(state.dialog);
    Display* display = XtDisplay(state.dialog);
    if (state.watch == None) state.watch = XCreateFontCursor(display, XC_watch);
    XDefineCursor(display, XtWindow(XtParent(state.dialog)), state.watch);
    XFlush(display);
}

void postStatusLine(const char* text) {
    state.channel->postLine(text ? text : "");
}

void postInstallFinished() {
    state.channel->postFinished();
}
