#include "gui/server_gui.h"

#include <Xm/DialogS.h>
#include <Xm/Form.h>
#include <Xm/Frame.h>
#include <Xm/Label.h>
#include <Xm/MessageB.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/Text.h>
#include <Xm/ToggleB.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/StopRequest.h"
#include "engine/Timer.h"
#include "engine/server_cli.h"
#include "framework/qrx_runtime.h"
#include "framework/qrx_thread.h"
#include "gui/ButtonPanel.h"
#include "gui/EncryptedText.h"
#include "gui/LayoutGroup.h"
#include "gui/icon.h"
#include "gui/server_status.h"
#include "gui/window_close.h"
#include "hosts/Status.h"
#include "model/DebugLog.h"

namespace {

// Wide enough for a typical path below an install prefix; a longer text
// scrolls within its field.
const int kTextColumns = 50;
// The exit status after a close stopped an install, as a shell reports a
// program ended by an interrupt.
const int kInterruptedStatus = 130;
const unsigned kIconSize = 48;
const double kHiddenColumnFactor = 0.91;

const char kHelpText[] =
    "Fill in the fields of this window and of the Install Options\n"
    "dialog, then press Install (or Install & Close to leave the\n"
    "program once the install has finished).\n"
    "\n"
    "A directory location followed by \"!\" forces that portion to be\n"
    "installed again, for example \"/usr/local/Velkar/bin!\".\n"
    "\n"
    "Reset puts every field back to its starting value.";

// Where the main window is: the buttons may start a check only when idle;
// a close request means something different in each state.
enum class RunState { IDLE, CONFIRMING, INSTALLING };

Gui* gui = nullptr;
Widget mainPanel = nullptr;
Widget optionsShell = nullptr;  // "Pop"
Widget confirmDialog = nullptr;
Widget stopDialog = nullptr;  // asks whether a close may stop the install
Pixmap icon = None;
RunState runState = RunState::IDLE;
bool closeProgramOnOk = false;   // "Install & Close" started the check
bool closeAfterInstall = false;  // a close stopped the install: leave when it has ended

XmString makeString(const char* text) {
    return XmStringCreateLocalized(const_cast<char*>(text));
}

void setMainSensitive(bool on) {
    XtSetSensitive(mainPanel, on ? True : False);
}

// Places w below above in a form (at the top when above is null).
void stackBelow(Widget w, Widget above) {
    if (above)
        XtVaSetValues(w, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, above, XmNtopOffset, 6,
                      XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    else
        XtVaSetValues(w, XmNtopAttachment, XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM,
                      XmNrightAttachment, XmATTACH_FORM, nullptr);
}

// ---- Field widgets, seen by the lists through their views

class TextWidgetView : public TextView {
  public:
    explicit TextWidgetView(Widget w) : w_(w) {}
    std::string text() const override {
        char* s = XmTextGetString(w_);
        std::string value = s ? s : "";
        XtFree(s);
        return value;
    }
    void show(const std::string& value) override {
        XmTextSetString(w_, const_cast<char*>(value.c_str()));
    }

  private:
    Widget w_;
};

class EncryptedWidgetView : public TextView {
  public:
    explicit EncryptedWidgetView(Widget w) : w_(w) {}
    std::string text() const override { return encryptedTextValue(w_); }
    void show(const std::string& value) override { setEncryptedTextValue(w_, value); }

  private:
    Widget w_;
};

class MenuWidgetView : public MenuView {
  public:
    MenuWidgetView(Widget menu, std::vector<Widget> buttons)
        : menu_(menu), buttons_(std::move(buttons)) {}
    void show(int choice) override {
        XtVaSetValues(menu_, XmNmenuHistory, buttons_[size_t(choice)], nullptr);
    }

  private:
    Widget menu_;
    std::vector<Widget> buttons_;
};

class ToggleWidgetView : public ToggleView {
  public:
    explicit ToggleWidgetView(Widget w) : w_(w) {}
    void show(int state) override { XmToggleButtonSetState(w_, state == 1, False); }

  private:
    Widget w_;
};

void menuChosen(Widget button, XtPointer data, XtPointer) {
    XtPointer index = nullptr;
    XtVaGetValues(button, XmNuserData, &index, nullptr);
    static_cast<Field*>(data)->currentChoice = int(reinterpret_cast<intptr_t>(index));
}

void toggled(Widget, XtPointer data, XtPointer callData) {
    auto* cbs = static_cast<XmToggleButtonCallbackStruct*>(callData);
    static_cast<Toggle*>(data)->state = cbs->set ? 1 : 0;
}

void buildTextField(const LayoutRow& row, Field& field) {
    Widget w;
    if (field.hidden) {
        w = createEncryptedText(row.row, "EncryptedText", int(kTextColumns * kHiddenColumnFactor));
        field.textView = std::make_unique<EncryptedWidgetView>(w);
    } else {
        w = XtVaCreateManagedWidget("Text", xmTextWidgetClass, row.row, XmNcolumns, kTextColumns,
                                    nullptr);
        field.textView = std::make_unique<TextWidgetView>(w);
    }
    field.textView->show(field.currentValue);
    layoutRowField(row, w, true);
}

void buildOptionMenu(const LayoutRow& row, Field& field) {
    Widget pulldown =
        XmCreatePulldownMenu(row.row, const_cast<char*>("OptionPulldown"), nullptr, 0);
    std::vector<Widget> buttons;
    for (size_t i = 0; i < field.choices.size(); ++i) {
        XmString label = makeString(field.choices[i].c_str());
        Widget b = XtVaCreateManagedWidget("choice", xmPushButtonWidgetClass, pulldown,
                                           XmNlabelString, label, XmNuserData,
                                           reinterpret_cast<XtPointer>(intptr_t(i)), nullptr);
        XmStringFree(label);
        XtAddCallback(b, XmNactivateCallback, menuChosen, &field);
        buttons.push_back(b);
    }
    Arg args[1];
    XtSetArg(args[0], XmNsubMenuId, pulldown);
    Widget menu = XmCreateOptionMenu(row.row, const_cast<char*>("OptionMenu"), args, 1);
    XtUnmanageChild(XmOptionLabelGadget(menu));  // the row's label names it
    XtManageChild(menu);
    field.menuView = std::make_unique<MenuWidgetView>(menu, std::move(buttons));
    field.menuView->show(field.currentChoice);
    layoutRowField(row, menu, false);
}

// The rows of one field list in a new vertical group.
Widget buildFieldGroup(Widget parent, std::vector<Field>& fields, int labelChars) {
    Widget group = createVerticalGroup(parent);
    for (Field& f : fields) {
        LayoutRow row = addLayoutRow(group, f.label.c_str(), labelChars);
        if (f.kind == Field::MENU)
            buildOptionMenu(row, f);
        else
            buildTextField(row, f);
    }
    return group;
}

// The frame with the icon and the title beside it; returns the title.
Widget buildHeader(Widget form, const char* title) {
    Widget frame =
        XtVaCreateManagedWidget("IconFrame", xmFrameWidgetClass, form, XmNtopAttachment,
                                XmATTACH_FORM, XmNleftAttachment, XmATTACH_FORM, nullptr);
    if (icon != None)
        XtVaCreateManagedWidget("Icon", xmLabelWidgetClass, frame, XmNlabelType, XmPIXMAP,
                                XmNlabelPixmap, icon, nullptr);
    else
        XtVaCreateManagedWidget("Icon", xmLabelWidgetClass, frame, nullptr);
    XmString s = makeString(title);
    XtVaCreateManagedWidget("Title", xmLabelWidgetClass, form, XmNlabelString, s, XmNleftAttachment,
                            XmATTACH_WIDGET, XmNleftWidget, frame, XmNleftOffset, 10,
                            XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET, XmNtopWidget, frame,
                            XmNbottomAttachment, XmATTACH_OPPOSITE_WIDGET, XmNbottomWidget, frame,
                            nullptr);
    XmStringFree(s);
    return frame;
}

// A border titled title around the widget the caller puts in the frame.
Widget titledFrame(Widget parent, const char* title) {
    Widget frame = XtVaCreateManagedWidget("Border", xmFrameWidgetClass, parent, nullptr);
    XmString s = makeString(title);
    XtVaCreateManagedWidget("BorderTitle", xmLabelWidgetClass, frame, XmNlabelString, s,
                            XmNchildType, XmFRAME_TITLE_CHILD, nullptr);
    XmStringFree(s);
    return frame;
}

// ---- Help

void helpPressed(Widget w, XtPointer, XtPointer) {
    Widget help = XmCreateInformationDialog(w, const_cast<char*>("Help"), nullptr, 0);
    // Closed by the window manager, it goes as its OK makes it go.
    XtVaSetValues(XtParent(help), XmNtitle, "ONX Server Installation Help", XmNdeleteResponse,
                  XmDESTROY, nullptr);
    XmString s = makeString(kHelpText);
    XtVaSetValues(help, XmNmessageString, s, nullptr);
    XmStringFree(s);
    XtUnmanageChild(XmMessageBoxGetChild(help, XmDIALOG_CANCEL_BUTTON));
    XtUnmanageChild(XmMessageBoxGetChild(help, XmDIALOG_HELP_BUTTON));
    XtAddCallback(
        help, XmNokCallback, [](Widget d, XtPointer, XtPointer) { XtDestroyWidget(XtParent(d)); },
        nullptr);
    XtManageChild(help);
}

// ---- Options dialog

void popupOptions() {
    XtPopup(optionsShell, XtGrabNone);
    setMainSensitive(false);
}

void optionsPopdown(Widget, XtPointer, XtPointer) {
    setMainSensitive(true);
}

void closeOptions(Widget, XtPointer, XtPointer) {
    XtPopdown(optionsShell);
}

void buildStartOptions(Widget parent, std::vector<Toggle>& toggles) {
    Arg args[1];
    XtSetArg(args[0], XmNradioAlwaysOne, False);  // a single option must be able to go off
    Widget box = XmCreateRadioBox(parent, const_cast<char*>("StartOptions"), args, 1);
    for (Toggle& t : toggles) {
        XmString s = makeString(t.label.c_str());
        Widget w = XtVaCreateManagedWidget("Toggle", xmToggleButtonWidgetClass, box, XmNlabelString,
                                           s, XmNset, t.state == 1, nullptr);
        XmStringFree(s);
        XtAddCallback(w, XmNvalueChangedCallback, toggled, &t);
        t.view = std::make_unique<ToggleWidgetView>(w);
    }
    XtManageChild(box);
}

void buildOptionsDialog(int labelChars) {
    optionsShell = XtVaCreatePopupShell("Pop", transientShellWidgetClass, gui->top, XmNtitle,
                                        "Velkar Management Framework Server Install Options",
                                        XmNiconPixmap, icon, nullptr);
    onWindowClose(optionsShell, closeOptions, nullptr);
    XtAddCallback(optionsShell, XmNpopdownCallback, optionsPopdown, nullptr);

    ButtonPanel panel = createButtonPanel(optionsShell, 3);
    Widget insert = XtVaCreateManagedWidget(
        "InsertGroup", xmFormWidgetClass, panel.content, XmNtopAttachment, XmATTACH_FORM,
        XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    Widget header = buildHeader(insert, "Velkar Management Framework Server Install Options");
    Widget locations = titledFrame(insert, "Specify Directory Locations:");
    stackBelow(locations, header);
    buildFieldGroup(locations, gui->lists.locations, labelChars);
    Widget options = titledFrame(insert, "Server Install Options:");
    stackBelow(options, locations);
    buildStartOptions(options, gui->lists.startOptions);

    addPanelButton(panel, "Set", closeOptions, nullptr, true);
    Widget cancel = addPanelButton(panel, "Cancel", closeOptions, nullptr);
    addPanelButton(panel, "Help...", helpPressed, nullptr);
    XtVaSetValues(panel.holder, XmNcancelButton, cancel, nullptr);  // Escape
    setMinimumShellSize(panel, optionsShell);
}

// ---- Install

[[noreturn]] void leaveProgram(int status) {
    XtDestroyWidget(gui->top);
    XtDestroyApplicationContext(gui->app);
    qrx_client_exit(status);
}

// Worker side of the install's end: the event loop hears of it through the
// status pipe once the settings are back.
void endInstall() {
    goodbyeStep(gui->savedArgInfo);
    postInstallFinished();
}

void* installWorker(void*) {
    t.elapsed("starting zpi gui doit.");
    zpi_install_doit();
    status(installEndText().c_str());
    t.elapsed("leaving zpi gui doit.");
    endInstall();
    return nullptr;
}

void destroyStopDialog() {
    if (stopDialog) XtDestroyWidget(XtParent(stopDialog));
    stopDialog = nullptr;
}

void installFinished() {
    set_status_callback(default_status_callback);
    runState = RunState::IDLE;
    destroyStopDialog();  // nothing left to stop
    // Here, outside any event dispatch, destroying the windows would happen
    // at once and leave toolkit caches unreferenced; the process ends anyway.
    if (closeAfterInstall) qrx_client_exit(kInterruptedStatus);
    setMainSensitive(true);
}

// A finished install's OK ends the program after "Install & Close", unless
// a later install has started meanwhile.
void statusOk(bool closeProgram) {
    if (closeProgram && runState == RunState::IDLE) leaveProgram(0);
}

void continueInstall(Widget, XtPointer, XtPointer) {
    runState = RunState::INSTALLING;
    clearStopRequest();
    openStatusDialog(gui->top, closeProgramOnOk);
    // From here on, status lines travel to the status text through the pipe.
    set_status_callback(postStatusLine);
    int err = qrx_thread_create_detached(installWorker, nullptr);
    if (err != 0) {
        std::fprintf(stderr, "cannot start the install thread: %s\n", std::strerror(err));
        postStatusLine("The install could not be started.\n");
        endInstall();
    }
}

void cancelInstall(Widget, XtPointer, XtPointer) {
    goodbyeStep(gui->savedArgInfo);
    runState = RunState::IDLE;
    setMainSensitive(true);
}

// The window manager's close of the confirmation answers Cancel.
void confirmationClosed(Widget, XtPointer, XtPointer) {
    XtUnmanageChild(confirmDialog);
    cancelInstall(nullptr, nullptr, nullptr);
}

void showConfirmation(const CheckResult& check) {
    if (!confirmDialog) {
        confirmDialog = XmCreateQuestionDialog(gui->top, const_cast<char*>("Confirm"), nullptr, 0);
        XtVaSetValues(XtParent(confirmDialog), XmNtitle, "ONX Install", nullptr);
        onWindowClose(XtParent(confirmDialog), confirmationClosed, nullptr);
        XmString ok = makeString("Continue Install"), cancel = makeString("Cancel");
        XtVaSetValues(confirmDialog, XmNokLabelString, ok, XmNcancelLabelString, cancel, nullptr);
        XmStringFree(ok);
        XmStringFree(cancel);
        XtUnmanageChild(XmMessageBoxGetChild(confirmDialog, XmDIALOG_HELP_BUTTON));
        XtAddCallback(confirmDialog, XmNokCallback, continueInstall, nullptr);
        XtAddCallback(confirmDialog, XmNcancelCallback, cancelInstall, nullptr);
    }
    // A check that failed or planned nothing is not continued by Return.
    bool proceed = continueIsDefault(check);
    std::string text = confirmationText(check);
    dbFile << "Confirmation, default " << (proceed ? "Continue Install" : "Cancel") << ":\n"
           << text << std::endl;
    XmString message = makeString(text.c_str());
    XtVaSetValues(
        confirmDialog, XmNmessageString, message, XmNdefaultButtonType,
        proceed ? XmDIALOG_OK_BUTTON : XmDIALOG_CANCEL_BUTTON, XmNinitialFocus,
        XmMessageBoxGetChild(confirmDialog, proceed ? XmDIALOG_OK_BUTTON : XmDIALOG_CANCEL_BUTTON),
        nullptr);
    XmStringFree(message);
    XtManageChild(confirmDialog);
}

void doInstall(bool closeProgram) {
    // The buttons are insensitive from here until the run ends; a press
    // queued before that finds the run under way and is dropped.
    if (runState != RunState::IDLE) return;
    runState = RunState::CONFIRMING;
    closeProgramOnOk = closeProgram;
    std::vector<std::string> args = gatherArguments(gui->lists);
    setMainSensitive(false);
    XFlush(XtDisplay(gui->top));
    XmUpdateDisplay(gui->top);
    CheckResult check = runInstallCheck(args);
    writeStatusFile(gui->statusFileName, check.toDo);
    showConfirmation(check);
}

void installPressed(Widget, XtPointer, XtPointer) {
    doInstall(false);
}

void installAndClose(Widget, XtPointer, XtPointer) {
    doInstall(true);
}

// ---- Closing the main window

void stopConfirmed(Widget, XtPointer, XtPointer) {
    destroyStopDialog();
    if (runState != RunState::INSTALLING) return;
    requestStop();
    closeAfterInstall = true;
    showStatusLine("\nStopping after the operation under way...\n");
}

void stopDeclined(Widget, XtPointer, XtPointer) {
    destroyStopDialog();
}

// Asks before a close stops the install; keeping it is the default.
void askToStop() {
    if (stopDialog) {
        XtManageChild(stopDialog);
        return;
    }
    stopDialog = XmCreateQuestionDialog(gui->top, const_cast<char*>("Stop"), nullptr, 0);
    XtVaSetValues(XtParent(stopDialog), XmNtitle, "ONX Install", nullptr);
    onWindowClose(XtParent(stopDialog), stopDeclined, nullptr);
    XmString message = makeString(
        "An install is running.\n"
        "Stop it after the operation under way, clean up and leave the program?");
    XmString ok = makeString("Stop Install"), cancel = makeString("Keep Installing");
    XtVaSetValues(stopDialog, XmNmessageString, message, XmNokLabelString, ok, XmNcancelLabelString,
                  cancel, XmNdefaultButtonType, XmDIALOG_CANCEL_BUTTON, XmNinitialFocus,
                  XmMessageBoxGetChild(stopDialog, XmDIALOG_CANCEL_BUTTON), nullptr);
    XmStringFree(message);
    XmStringFree(ok);
    XmStringFree(cancel);
    XtUnmanageChild(XmMessageBoxGetChild(stopDialog, XmDIALOG_HELP_BUTTON));
    XtAddCallback(stopDialog, XmNokCallback, stopConfirmed, nullptr);
    XtAddCallback(stopDialog, XmNcancelCallback, stopDeclined, nullptr);
    XtManageChild(stopDialog);
}

void mainCloseRequested(Widget, XtPointer, XtPointer) {
    switch (runState) {
        case RunState::IDLE:
            leaveProgram(0);
        case RunState::CONFIRMING:
            // Nothing was done: the checked run is closed as Cancel closes it.
            goodbyeStep(gui->savedArgInfo);
            leaveProgram(0);
        case RunState::INSTALLING:
            if (!closeAfterInstall) askToStop();
            break;
    }
}

// ---- Main window

void resetPressed(Widget, XtPointer, XtPointer) {
    resetFields(gui->lists);
}

void cancelPressed(Widget, XtPointer, XtPointer) {
    leaveProgram(0);
}

void optionsPressed(Widget, XtPointer, XtPointer) {
    popupOptions();
}

void buildMainWindow(int labelChars) {
    XtVaSetValues(gui->top, XmNtitle, "Install Velkar Server", XmNiconPixmap, icon, nullptr);
    onWindowClose(gui->top, mainCloseRequested, nullptr);
    ButtonPanel panel = createButtonPanel(gui->top, 5);
    mainPanel = panel.holder;
    Widget insert = XtVaCreateManagedWidget(
        "InsertGroup", xmFormWidgetClass, panel.content, XmNtopAttachment, XmATTACH_FORM,
        XmNleftAttachment, XmATTACH_FORM, XmNrightAttachment, XmATTACH_FORM, nullptr);
    Widget header = buildHeader(insert, "Velkar Management Framework Server Installation");
    Widget fields = buildFieldGroup(insert, gui->lists.general, labelChars);
    stackBelow(fields, header);
    XmString s = makeString("Install Options...");
    // A tab group of its own, so that Tab reaches it after the fields; as a
    // member of the insert group it would come first.
    Widget options =
        XtVaCreateManagedWidget("InstallOptions", xmPushButtonWidgetClass, insert, XmNlabelString,
                                s, XmNnavigationType, XmTAB_GROUP, nullptr);
    XmStringFree(s);
    stackBelow(options, fields);
    XtVaSetValues(options, XmNrightAttachment, XmATTACH_NONE, nullptr);
    XtAddCallback(options, XmNactivateCallback, optionsPressed, nullptr);

    addPanelButton(panel, "Install & Close", installAndClose, nullptr, true);
    addPanelButton(panel, "Install", installPressed, nullptr);
    addPanelButton(panel, "Reset", resetPressed, nullptr);
    addPanelButton(panel, "Cancel", cancelPressed, nullptr);
    addPanelButton(panel, "Help...", helpPressed, nullptr);
    setMinimumShellSize(panel, gui->top);
}

// The icon as the shell's icon window (a window showing the pixmap).
void setIconWindow() {
    if (icon == None) return;
    Display* display = XtDisplay(gui->top);
    Window window = XCreateSimpleWindow(display, RootWindowOfScreen(XtScreen(gui->top)), 0, 0,
                                        kIconSize, kIconSize, 0, 0, 0);
    XSetWindowBackgroundPixmap(display, window, icon);
    XtVaSetValues(gui->top, XmNiconWindow, window, nullptr);
}

}  // namespace

void buildWindows(Gui& g) {
    gui = &g;
    icon = createIconPixmap(g.top);
    initStatus(g.app, StatusHooks{installFinished, statusOk});
    int labelChars = labelWidth(g.lists);
    buildMainWindow(labelChars);
    buildOptionsDialog(labelChars);
    XtRealizeWidget(g.top);
    setIconWindow();
    popupOptions();
}
