// What the window front end keeps apart from its widgets: the three field
// lists read from the option vector, the gathered install arguments, Reset,
// the status file and the goodbye step. Widgets are reached only through
// the small view interfaces below, so all of this runs without a display.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct ArgInfo;

// The widgets showing a field or toggle, as the lists see them.
class TextView {
  public:
    virtual ~TextView() = default;
    virtual std::string text() const = 0;  // as typed
    virtual void show(const std::string& value) = 0;
};

class MenuView {
  public:
    virtual ~MenuView() = default;
    virtual void show(int choice) = 0;
};

class ToggleView {
  public:
    virtual ~ToggleView() = default;
    virtual void show(int state) = 0;
};

struct Field {
    enum Kind { TEXT = 1, MENU = 2 };
    Kind kind = TEXT;
    std::string name;
    std::string label;  // with ":" appended
    // Text field
    std::string defaultValue;
    std::string currentValue;
    bool hidden = false;  // typed characters are not shown
    // Option menu
    std::vector<std::string> choices;
    int defaultChoice = 0;
    int currentChoice = 0;

    std::unique_ptr<TextView> textView;  // text fields, once built
    std::unique_ptr<MenuView> menuView;  // option menus, once built

    // The value an install gets: the widget's text, or the choice.
    std::string value() const;
};

struct Toggle {
    std::string name;
    std::string label;
    int group = 0;
    int state = 0;  // 1 on, 0 off
    int defaultState = 0;

    std::unique_ptr<ToggleView> view;
};

struct FieldLists {
    std::vector<Field> general;
    std::vector<Field> locations;
    std::vector<Toggle> startOptions;
};

extern const char* const kDefaultStatusFileName;  // "/tmp/velkar.sinstall.status"
extern const char* const kInstallArgsName;        // first entry of the install arguments

// "name:label:value[:number]": an option menu when value holds "(SeP)".
Field parseField(const char* arg);
// "name:label:state:group".
Toggle parseToggle(const char* arg);

// Reads -G, -L, -S, -f and -d from the vector the option pre-pass built.
void readFieldOptions(int argc, char** argv, FieldLists& lists, std::string& statusFileName);

// The widest label of general and locations, in characters (at least 29).
int labelWidth(const FieldLists& lists);

// "name=value" for every field of general, then of locations, then
// "name=TRUE"/"name=FALSE" per toggle, after kInstallArgsName.
std::vector<std::string> gatherArguments(const FieldLists& lists);

// "Args from zpi gui:" and each argument on a tab-indented line, the
// installation password replaced by "<install key>".
void logArguments(std::ostream& log, const std::vector<std::string>& args);

// Every field and toggle back to its command-line value.
void resetFields(FieldLists& lists);

// Puts a file holding the to-do text and "\n\n\n" at path; false (nothing
// changed at path) when it cannot. The program runs as root and the default
// path lies in a world-writable directory, so the text is written to a
// fresh file beside it that then replaces the name: whatever stands there
// (a link, a FIFO, another account's file) is never opened or written
// into, and what is not a plain file of ours is left alone.
bool writeStatusFile(const std::string& path, const std::string& toDo);

// What the check phase left for the confirmation.
struct CheckResult {
    std::string toDo;       // the failure report and the to-do list, as printed
    bool failures = false;  // a failure was reported, or there is no server host
    bool work = false;      // a push or a script is planned
};

// The check phase on args: they are logged, the run timer restarted and
// status lines discarded meanwhile.
CheckResult runInstallCheck(const std::vector<std::string>& args);
// The verdict on the run the check planned (the host group and the
// failure list), with its to-do text.
CheckResult judgeCheck(std::string toDo);
// Whether "Continue Install" is the confirmation's default: only for a
// check without failures that planned something to do.
bool continueIsDefault(const CheckResult& check);
// The confirmation's message: the to-do text, after a line for each reason
// not to continue lightly.
std::string confirmationText(const CheckResult& check);

// The last words of an install in the status text: "\nCompleted.", or when
// anything failed the failure report and "\n Completed (with errors).".
std::string installEndText();

// Closes the run and puts the start-up settings back into argInfo.
void goodbyeStep(const ArgInfo& saved);

// The gathered arguments as the argc/argv pair the check phase reads.
class ArgVector {
  public:
    explicit ArgVector(std::vector<std::string> args);
    ArgVector(const ArgVector&) = delete;
    ArgVector& operator=(const ArgVector&) = delete;
    int argc() const { return int(args_.size()); }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<std::string> args_;
    std::vector<char*> pointers_;
};
