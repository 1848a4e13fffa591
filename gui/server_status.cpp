#include "gui/server_status.h"

#include <X11/cursorfont.h>
#include <Xm/MessageB.h>
#include <Xm/Text.h>

#include <memory>

#include "gui/status_channel.h"
#include "gui/window_close.h"

namespace {

// One install's dialog; freed when its widgets are destroyed.
struct StatusDialog {
    Widget box = nullptr;  // the working dialog inside its shell
    Widget text = nullptr;
    bool closeProgram = false;
    bool running = true;
};

struct StatusState {
    std::unique_ptr<StatusChannel> channel;
    StatusHooks hooks{};
    StatusDialog* running = nullptr;  // the dialog of the install under way
    Cursor watch = None;
};

StatusState state;

void setString(Widget w, const char* resource, const char* value) {
    XmString s = XmStringCreateLocalized(const_cast<char*>(value));
    XtVaSetValues(w, resource, s, nullptr);
    XmStringFree(s);
}

void appendLine(const std::string& line) {
    if (!state.running) return;
    Widget text = state.running->text;
    XmTextInsert(text, XmTextGetLastPosition(text), const_cast<char*>(line.c_str()));
    XmTextShowPosition(text, XmTextGetLastPosition(text));
}

void installFinished() {
    if (StatusDialog* d = state.running) {
        d->running = false;
        Widget ok = XmMessageBoxGetChild(d->box, XmDIALOG_OK_BUTTON);
        XtSetSensitive(ok, True);
        XmProcessTraversal(ok, XmTRAVERSE_CURRENT);  // Return now answers OK
        if (XtIsRealized(XtParent(d->box)))
            XUndefineCursor(XtDisplay(d->box), XtWindow(XtParent(d->box)));
    }
    state.running = nullptr;
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

void closeDialog(StatusDialog* d) {
    bool closeProgram = d->closeProgram;
    XtDestroyWidget(XtParent(d->box));
    state.hooks.ok(closeProgram);
}

void okPressed(Widget, XtPointer data, XtPointer) {
    closeDialog(static_cast<StatusDialog*>(data));
}

// The window manager's close answers like OK: refused, as the insensitive
// OK is, while the install runs.
void closeRequested(Widget, XtPointer data, XtPointer) {
    auto* d = static_cast<StatusDialog*>(data);
    if (!d->running) closeDialog(d);
}

void destroyed(Widget, XtPointer data, XtPointer) {
    auto* d = static_cast<StatusDialog*>(data);
    if (state.running == d) state.running = nullptr;
    delete d;
}

}  // namespace

void initStatus(XtAppContext app, StatusHooks hooks) {
    state.channel = std::make_unique<StatusChannel>();
    state.hooks = hooks;
    XtAppAddInput(app, state.channel->readFd(), reinterpret_cast<XtPointer>(XtInputReadMask),
                  statusInput, nullptr);
}

void openStatusDialog(Widget parent, bool closeProgram) {
    auto* d = new StatusDialog;
    d->closeProgram = closeProgram;
    Arg args[1];
    XtSetArg(args[0], XmNautoUnmanage, False);
    d->box = XmCreateWorkingDialog(parent, const_cast<char*>("Status"), args, 1);
    Widget shell = XtParent(d->box);
    XtAddCallback(d->box, XmNdestroyCallback, destroyed, d);
    XtVaSetValues(shell, XmNtitle, "ONX Install", nullptr);
    onWindowClose(shell, closeRequested, d);
    setString(d->box, XmNmessageString, "Installing ONX Server...");
    setString(d->box, XmNokLabelString, "OK");
    XtUnmanageChild(XmMessageBoxGetChild(d->box, XmDIALOG_CANCEL_BUTTON));
    XtUnmanageChild(XmMessageBoxGetChild(d->box, XmDIALOG_HELP_BUTTON));
    XtSetSensitive(XmMessageBoxGetChild(d->box, XmDIALOG_OK_BUTTON), False);
    XtAddCallback(d->box, XmNokCallback, okPressed, d);
    Arg textArgs[6];
    int n = 0;
    XtSetArg(textArgs[n], XmNeditMode, XmMULTI_LINE_EDIT), ++n;
    XtSetArg(textArgs[n], XmNeditable, False), ++n;
    XtSetArg(textArgs[n], XmNcursorPositionVisible, False), ++n;
    XtSetArg(textArgs[n], XmNtraversalOn, False), ++n;  // Return belongs to OK
    XtSetArg(textArgs[n], XmNrows, 15), ++n;
    XtSetArg(textArgs[n], XmNcolumns, 70), ++n;
    d->text = XmCreateScrolledText(d->box, const_cast<char*>("StatusText"), textArgs, n);
    XtManageChild(d->text);
    XtManageChild(d->box);
    state.running = d;
    Display* display = XtDisplay(d->box);
    if (state.watch == None) state.watch = XCreateFontCursor(display, XC_watch);
    XDefineCursor(display, XtWindow(shell), state.watch);
    XFlush(display);
}

void showStatusLine(const char* text) {
    appendLine(text);
}

void postStatusLine(const char* text) {
    state.channel->postLine(text ? text : "");
}

void postInstallFinished() {
    state.channel->postFinished();
}
