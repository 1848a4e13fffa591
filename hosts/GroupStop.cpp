#include "hosts/GroupStop.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "hosts/InstallHost.h"

const char* const GROUP_OF_STREAM = "PGID_OF_STREAM";

namespace {

// The tail of the frame's shell text that only inOwnGroup writes.
const char* const kGroupTail = " sh $QS_G;exit";
const char* const kDelimiter = "QS_END_OF_COMMAND";

// A process id has at most 10 digits wherever it is a 32-bit number.
const int kMaxDigits = 10;

// Seconds the hard signal may take before the group counts as left over.
const int kKillWait = 5;

const char* const kStopped = "GROUP_STOPPED";
const char* const kGone = "GROUP_GONE";
const char* const kLeft = "GROUP_LEFT";

// Where the group line starts and how long it is (through its newline):
// directly after the first begin marker and its newline, the mark, a
// blank, digits only. -1 when raw has no such line.
int groupLineAt(const Str& raw, int& length) {
    int begin = raw.index(BEG_OF_STREAM);
    if (begin < 0) return -1;
    int at = begin + BEG_OF_STREAM.length() + 1;
    if (at > raw.length() || raw[at - 1] != '\n') return -1;
    const std::string& s = raw.str();
    const std::string mark = std::string(GROUP_OF_STREAM) + " ";
    if (s.compare(size_t(at), mark.size(), mark) != 0) return -1;
    size_t end = size_t(at) + mark.size();
    while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
    if (end >= s.size() || s[end] != '\n') return -1;
    length = int(end) + 1 - at;
    return at;
}

// Shell text repeating a one-second pause while test holds, at most
// seconds times.
Str whileFor(const Str& test, int seconds) {
    return "i=0;while " + test + "&&[ $i -lt " + Str(std::to_string(seconds)) +
           " ];do sleep 1;i=`expr $i + 1`;done;";
}

// State, parent and group of pid by /proc; false when it cannot be read.
bool statOf(pid_t pid, char& state, pid_t& ppid, pid_t& group) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    // The command name may hold blanks and parentheses: the fields after
    // it follow its last ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 1));
    long parent = -1, pgrp = -1;
    rest >> state >> parent >> pgrp;
    ppid = pid_t(parent);
    group = pid_t(pgrp);
    return bool(rest);
}

// Whether a process of group other than a zombie is left: an ended
// process whose parent is gone may stay a zombie for good where the
// first process reaps nothing.
bool groupLives(pid_t group) {
    if (kill(-group, 0) != 0 && errno != EPERM) return false;
    DIR* proc = opendir("/proc");
    if (!proc) return true;
    bool lives = false;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        char state = 0;
        pid_t ppid = 0, pgrp = 0;
        if (*end || pid <= 0 || !statOf(pid_t(pid), state, ppid, pgrp)) continue;
        if (pgrp == group && state != 'Z') {
            lives = true;
            break;
        }
    }
    closedir(proc);
    return lives;
}

// Whether group ends within seconds, looking every 100 ms.
bool groupEndsWithin(pid_t group, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (!groupLives(group)) return true;
        poll(nullptr, 0, 100);
    }
    return !groupLives(group);
}

}  // namespace

Str inOwnGroup(const Str& body) {
    // A POSIX shell cannot make a process group; setsid can where it is.
    // Its name is handed on so that the group line names a group only
    // when there is one. The command goes in as a quoted here-document,
    // so that it stands unchanged in the frame (and in the debug log).
    // The exit keeps a shell from running setsid in its own place, where
    // setsid would fork and return at once.
    // A command holding the delimiter would end the document early and
    // run its rest outside the frame: it runs ungrouped instead.
    if (body.contains(kDelimiter)) return body;
    return Str("QS_G=;command -v setsid >/dev/null 2>&1&&QS_G=setsid;$QS_G sh -c \"$(cat <<'") +
           kDelimiter + "'\necho \"" + GROUP_OF_STREAM + " ${1:+$$}\";set --;" + body + "\n" +
           kDelimiter + "\n)\"" + kGroupTail;
}

bool runsInOwnGroup(const Str& command) {
    return command.contains(kGroupTail);
}

Str withoutGroupLine(const Str& raw) {
    int length = 0;
    int at = groupLineAt(raw, length);
    if (at < 0) return raw;
    Str rest(raw);
    rest.del(at, length);
    return rest;
}

pid_t reportedGroup(const Str& raw) {
    int length = 0;
    int at = groupLineAt(raw, length);
    int digits = length - int(strlen(GROUP_OF_STREAM)) - 2;
    if (at < 0 || digits < 1 || digits > kMaxDigits) return 0;
    long long n = std::stoll(raw.str().substr(size_t(at + length - 1 - digits), size_t(digits)));
    return n > 1 && n <= INT_MAX ? pid_t(n) : 0;
}

Str groupStopCommand(pid_t group) {
    const Str id(std::to_string(group));
    const Str g = "-" + id;
    // A zombie answers kill -0 too, and stays one where the first process
    // reaps nothing: where ps tells states, only others count.
    const Str live = "live(){ kill -0 " + g +
                     " 2>/dev/null||return 1;s=`ps -A -o pgid= -o stat= 2>/dev/null`||return 0;"
                     "echo \"$s\"|awk '$1==" +
                     id + "&&$2!~/^Z/{f=1}END{exit !f}';};";
    return live + "kill -TERM " + g + " 2>/dev/null||{ echo " + kGone + ";exit 0;};" +
           whileFor("live", GROUP_STOP_GRACE) + "kill -KILL " + g + " 2>/dev/null;" +
           whileFor("live", kKillWait) + "if live;then echo " + kLeft + ";else echo " + kStopped +
           ";fi";
}

bool groupStopped(const Str& output, Str& why) {
    if (output == Str(kStopped) + "\n") return true;
    if (output == Str(kGone) + "\n")
        why = "the host has no such process group (or refused the signal)";
    else if (output == Str(kLeft) + "\n")
        why = "processes of the group were still there after the hard signal";
    else
        why = "the host did not answer the stop command";
    return false;
}

bool stopLocalGroup(pid_t group, pid_t parent, Str& why) {
    char state = 0;
    pid_t ppid = 0, pgrp = 0;
    if (group <= 1 || group == getpgrp() || !statOf(group, state, ppid, pgrp) || pgrp != group ||
        ppid != parent) {
        why = "the group is not one that the command made";
        return false;
    }
    kill(-group, SIGTERM);
    if (groupEndsWithin(group, GROUP_STOP_GRACE)) return true;
    kill(-group, SIGKILL);
    if (groupEndsWithin(group, kKillWait)) return true;
    why = "processes of the group were still there after the hard signal";
    return false;
}
