#include "gui/server_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/HostGroup.h"
#include "engine/StopRequest.h"
#include "engine/Timer.h"
#include "engine/server_cli.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

const char* const kDefaultStatusFileName = "/tmp/velkar.sinstall.status";
const char* const kInstallArgsName = "Velkar ONX Server Install";

namespace {

const char kSeparator[] = "(SeP)";
const int kMinLabelWidth = 29;

// The pieces of text between its first `count` colons; missing pieces are
// empty, the last piece keeps any further colons.
std::vector<std::string> splitColons(const std::string& text, int count) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (int i = 0; i < count; ++i) {
        size_t colon = text.find(':', start);
        if (colon == std::string::npos) break;
        pieces.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    pieces.push_back(start <= text.size() ? text.substr(start) : std::string());
    pieces.resize(size_t(count) + 1);
    return pieces;
}

std::vector<std::string> splitChoices(const std::string& value) {
    std::vector<std::string> choices;
    size_t start = 0;
    for (size_t sep; (sep = value.find(kSeparator, start)) != std::string::npos;
         start = sep + sizeof kSeparator - 1)
        choices.push_back(value.substr(start, sep - start));
    choices.push_back(value.substr(start));
    return choices;
}

void resetField(Field& field) {
    field.currentValue = field.defaultValue;
    field.currentChoice = field.defaultChoice;
    if (field.textView) field.textView->show(field.currentValue);
    if (field.menuView) field.menuView->show(field.currentChoice);
}

void discardStatus(const char*) {}

}  // namespace

std::string Field::value() const {
    if (kind == MENU)
        return currentChoice >= 0 && size_t(currentChoice) < choices.size()
                   ? choices[size_t(currentChoice)]
                   : std::string();
    return textView ? textView->text() : currentValue;
}

Field parseField(const char* arg) {
    std::vector<std::string> p = splitColons(arg, 3);
    Field field;
    field.name = p[0];
    field.label = p[1] + ":";
    int number = 0;
    std::sscanf(p[3].c_str(), "%d", &number);
    if (p[2].find(kSeparator) != std::string::npos) {
        field.kind = Field::MENU;
        field.choices = splitChoices(p[2]);
        // A choice the menu does not have would leave it showing nothing.
        if (number < 0 || size_t(number) >= field.choices.size()) number = 0;
        field.defaultChoice = field.currentChoice = number;
    } else {
        field.defaultValue = field.currentValue = p[2];
        field.hidden = number == 1;
    }
    return field;
}

Toggle parseToggle(const char* arg) {
    std::vector<std::string> p = splitColons(arg, 2);
    Toggle toggle;
    toggle.name = p[0];
    toggle.label = p[1];
    std::sscanf(p[2].c_str(), "%d:%d", &toggle.state, &toggle.group);
    toggle.defaultState = toggle.state;
    return toggle;
}

void readFieldOptions(int argc, char** argv, FieldLists& lists, std::string& statusFileName) {
    optind = 0;  // full restart: the option pre-pass ran getopt before
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "G:L:S:df:")) != -1) {
        switch (c) {
            case 'G':
                lists.general.push_back(parseField(optarg));
                break;
            case 'L':
                lists.locations.push_back(parseField(optarg));
                break;
            case 'S':
                lists.startOptions.push_back(parseToggle(optarg));
                break;
            case 'f':
                statusFileName = optarg;
                break;
            default:  // -d and anything unknown
                break;
        }
    }
}

int labelWidth(const FieldLists& lists) {
    size_t widest = kMinLabelWidth;
    for (const std::vector<Field>* list : {&lists.general, &lists.locations})
        for (const Field& f : *list)
            if (f.label.size() > widest) widest = f.label.size();
    return int(widest);
}

std::vector<std::string> gatherArguments(const FieldLists& lists) {
    std::vector<std::string> args = {kInstallArgsName};
    for (const std::vector<Field>* list : {&lists.general, &lists.locations})
        for (const Field& f : *list) args.push_back(f.name + "=" + f.value());
    for (const Toggle& t : lists.startOptions)
        args.push_back(t.name + "=" + (t.state == 1 ? "TRUE" : "FALSE"));
    return args;
}

void logArguments(std::ostream& log, const std::vector<std::string>& args) {
    log << "Args from zpi gui:\n";
    for (const std::string& a : args) {
        if (a.compare(0, 3, "IP=") == 0)
            log << "\tIP=<install key>\n";
        else
            log << "\t" << a << "\n";
    }
    log.flush();
}

void resetFields(FieldLists& lists) {
    for (std::vector<Field>* list : {&lists.general, &lists.locations})
        for (Field& f : *list) resetField(f);
    for (Toggle& t : lists.startOptions) {
        t.state = t.defaultState;
        if (t.view) t.view->show(t.state);
    }
}

bool writeStatusFile(const std::string& path, const std::string& toDo) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_uid != geteuid()))
        return false;
    size_t slash = path.rfind('/');
    std::string fresh =
        (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".status.XXXXXX";
    int fd = mkstemp(&fresh[0]);
    if (fd < 0) return false;
    std::string text = toDo + "\n\n\n";
    bool ok = fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = close(fd) == 0 && ok;
    // rename replaces the name, never what it named: a link or file put
    // there since the check is not written through.
    if (!ok || rename(fresh.c_str(), path.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

CheckResult runInstallCheck(const std::vector<std::string>& args) {
    logArguments(dbFile, args);
    t.restart();
    StatusCallback previous = set_status_callback(discardStatus);
    std::ostringstream toDo;
    ArgVector vector(args);
    zpi_install_check(vector.argc(), vector.argv(), toDo);
    set_status_callback(previous);
    return judgeCheck(toDo.str());
}

CheckResult judgeCheck(std::string toDo) {
    CheckResult check;
    check.toDo = std::move(toDo);
    // A check that could not even build the server's host has failed too.
    check.failures = hostFailures.anyFailure() || hostGroups.getHost(argInfo.serverName) == nullptr;
    for (int i = 0; i < hostGroups.ops.length() && !check.work; ++i) {
        int kind = hostGroups.ops[i].kind;
        check.work = kind == PUSH_FILEPACK || kind == EXEC_SCRIPT;
    }
    return check;
}

bool continueIsDefault(const CheckResult& check) {
    return check.work && !check.failures;
}

std::string confirmationText(const CheckResult& check) {
    std::ostringstream text;
    if (check.failures) text << "The check found problems, reported below.\n";
    // The catalogue's own words for a run that installs nothing.
    if (!check.work) text << catalogMessage(InstallOpsCatalog, 2) << "\n";
    text << check.toDo;
    return text.str();
}

std::string installEndText() {
    const std::string report =
        hostFailures.anyFailure() ? "\n" + hostFailures.reportText().str() : std::string();
    if (stopRequested()) return report + "\nStopped.";
    return report.empty() ? "\nCompleted." : report + "\n Completed (with errors).";
}

void goodbyeStep(const ArgInfo& saved) {
    zpi_goodbye();
    argInfo = saved;
}

ArgVector::ArgVector(std::vector<std::string> args) : args_(std::move(args)) {
    for (std::string& a : args_) pointers_.push_back(&a[0]);
    pointers_.push_back(nullptr);
}
