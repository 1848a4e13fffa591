// Wall time of installing the sample medium with quillset_cli -y onto this
// machine (local shell), onto 127.0.0.2 over ssh (a private sshd) and onto
// eight such hosts at once (127.0.0.2 to .9, "@Multiplex@" on and off, the
// medium's types made valid for clients), each run under a fresh root,
// with the ssh logins each run cost, and where that time goes according to the
// debug log: the timer's phase laps and the laps of the commands run on
// the host, by kind. Every push command ends in a fixed "sleep 2", so the
// figures are set against pushes x 2 s.
//
// Run as root from a built tree. Usage: install_time [repetitions]
// (INSTALL_TIME_LOGS=dir keeps the debug logs).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sshd_peer.h"
#include "tests/test_util.h"

namespace {

const std::string kCli = QS_BUILD_DIR "/quillset_cli";
const std::string kMedium = QS_BUILD_DIR "/sample/medium";
const char* const kTypes[][2] = {{"BIN", "bin"}, {"LIB", "lib"},   {"ZPIDB", "db"},
                                 {"MAN", "man"}, {"APPD", "appd"}, {"CAT", "cat"}};

// What one run's debug log says about its time, in milliseconds.
struct Breakdown {
    std::map<std::string, long> marks;     // the timer's total at each phase line
    std::map<std::string, long> commands;  // command laps summed by kind
    std::map<std::string, int> counts;     // commands by kind
    long timerTotal = 0;                   // the timer's running total at the end
};

// "... real ms=L/T, cpu ms=..": L and T; false when the line is no lap.
bool lap(const std::string& line, long& lapMs, long& totalMs) {
    size_t at = line.find(" real ms=");
    if (at == std::string::npos) return false;
    return std::sscanf(line.c_str() + at, " real ms=%ld/%ld", &lapMs, &totalMs) == 2;
}

// The kind of a host command, from its text as the log shows it.
std::string commandKind(const std::string& text) {
    if (text.find("fpack -u") != std::string::npos || text.find(" -u -;") != std::string::npos)
        return "push (fpack -u, sleep 2)";
    if (text.find("> bin/linux-ix86/fpack") != std::string::npos) return "engine copy";
    if (text.find("GETFROM") != std::string::npos) return "scout";
    if (text.find("objlookup Installation") != std::string::npos) return "recording script";
    return "other";
}

Breakdown readLog(const std::string& path) {
    Breakdown b;
    std::istringstream log(testutil::readFile(path));
    std::string command;  // text of the command running, with its output
    bool inCommand = false;
    for (std::string line; std::getline(log, line);) {
        long l = 0, total = 0;
        if (line.rfind("executing following command #", 0) == 0) {
            inCommand = true;
            command.clear();
            continue;
        }
        if (!lap(line, l, total)) {
            if (inCommand) command += line + "\n";
            continue;
        }
        b.timerTotal = total;
        if (line.rfind("Command on host ", 0) == 0 && inCommand) {
            std::string kind = commandKind(command);
            b.commands[kind] += l;
            b.counts[kind]++;
            inCommand = false;
        } else if (line.rfind("Entering ", 0) == 0 || line.rfind("Exiting ", 0) == 0 ||
                   line.rfind("Storing ", 0) == 0) {
            b.marks[line.substr(0, line.find(" real ms="))] = total;
        }
    }
    return b;
}

struct Run {
    double wallMs = 0;
    int pushes = 0;
    Breakdown log;
};

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

Run installInto(const testutil::TempDir& root, const std::string& host,
                const std::vector<std::string>& extraWords, const std::vector<std::string>& env,
                const std::string& medium) {
    const std::string log = root.file("debug.log");
    std::vector<std::string> argv = {kCli, "-y", "-c", medium, "-a", host};
    for (const auto& t : kTypes) argv.push_back(std::string(t[0]) + "=" + root.file(t[1]));
    // The engine copy of a remote run goes to a directory of its own.
    const std::string tmp = root.file("tmp");
    mkdir(tmp.c_str(), 0755);
    argv.push_back("@TmpDir@=" + tmp);
    argv.insert(argv.end(), extraWords.begin(), extraWords.end());
    std::vector<std::string> runEnv = env;
    runEnv.push_back("QUILLSET_DEBUG_LOG=" + log);

    auto start = std::chrono::steady_clock::now();
    testutil::RunResult r = testutil::run(argv, "", runEnv, 1800);
    Run run;
    run.wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::string all = r.out + r.err;
    run.pushes = count(all, " Completed.\n");
    if (r.status != 0 || all.find("problems were encountered") != std::string::npos ||
        all.find("(with errors)") != std::string::npos) {
        std::fprintf(stderr, "install onto %s failed (status %d):\n%s\n%s\n", host.c_str(),
                     r.status, r.out.c_str(), r.err.c_str());
        std::exit(1);
    }
    run.log = readLog(log);
    // INSTALL_TIME_LOGS=dir keeps each run's debug log there, to see where
    // the time went.
    static int kept = 0;
    if (const char* dir = std::getenv("INSTALL_TIME_LOGS"))
        testutil::run({"cp", log, std::string(dir) + "/run-" + std::to_string(kept++) + ".log"});
    return run;
}

// One install under a fresh root; exits on a run that did not succeed.
Run installOnce(const std::string& host, const std::vector<std::string>& extraWords,
                const std::vector<std::string>& env, const std::string& medium = kMedium) {
    testutil::TempDir root;
    return installInto(root, host, extraWords, env, medium);
}

void report(const char* what, const std::vector<Run>& runs) {
    std::vector<double> walls;
    for (const Run& r : runs) walls.push_back(r.wallMs);
    std::sort(walls.begin(), walls.end());
    const Run& last = runs.back();
    std::printf("\n%s: %zu runs, wall median %.0f ms (min %.0f, max %.0f)\n", what, runs.size(),
                walls[walls.size() / 2], walls.front(), walls.back());
    std::printf("  pushes %d, x 2 s sleep = %d ms (%.0f%% of the median)\n", last.pushes,
                last.pushes * 2000, 100.0 * last.pushes * 2000 / walls[walls.size() / 2]);
    std::printf("  last run, debug log: timer total %ld ms\n", last.log.timerTotal);
    // Phases as spans between their lap lines.
    const char* const spans[][3] = {
        {"check phase", "Entering ZPI install check", "Exiting ZPI install check"},
        {"to-do list", "Entering ZPI install doit", "Storing installation attributes."},
        {"recording", "Storing installation attributes.", "Exiting ZPI install doit"},
        {"goodbye", "Entering goodbye", "Exiting goodbye"},
    };
    const std::map<std::string, long>& m = last.log.marks;
    for (const auto& span : spans)
        if (m.count(span[1]) && m.count(span[2]))
            std::printf("    phase %-29s %7ld ms\n", span[0], m.at(span[2]) - m.at(span[1]));
    for (const auto& c : last.log.commands)
        std::printf("    commands: %-27s %7ld ms in %d\n", c.first.c_str(), c.second,
                    last.log.counts.at(c.first));
}

std::string localName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// Eight private hosts installed in one run, each run under fresh roots;
// with merged pushes, or with separate pushes and the hosts side by side.
void manyHosts(int n, bool multiplex) {
    const int hosts = 8;
    testutil::TempDir work;
    const std::string medium = work.file("medium");
    if (testutil::run({"cp", "-r", kMedium, medium}).status != 0 ||
        testutil::run({"sed", "-i", "-E", "/^QRX:id:(BIN|LIB|MAN|APPD|CAT):/s/:server:/:both:/",
                       medium + "/QRX.IND"})
                .status != 0) {
        std::printf("\neight hosts: skipped (no medium copy)\n");
        return;
    }
    std::vector<Run> runs;
    size_t logins = 0;
    for (int r = 0; r < n; ++r) {
        testutil::TempDir root;
        mkdir(root.path().c_str(), 0755);
        std::vector<std::unique_ptr<testutil::SshdPeer>> peers;
        std::vector<const testutil::SshdPeer*> servers;
        std::vector<std::string> words = {"@UseSSH@=1",
                                          multiplex ? "@Multiplex@=yes" : "@Multiplex@=no"};
        for (int i = 0; i < hosts; ++i) {
            const std::string address = "127.0.0." + std::to_string(i + 2);
            peers.emplace_back(new testutil::SshdPeer(address, {root.path()}));
            if (!peers.back()->ready()) {
                std::printf("\neight hosts: skipped (%s)\n", peers.back()->error().c_str());
                return;
            }
            peers.back()->command("mkdir " + root.file("tmp"));
            servers.push_back(peers.back().get());
            if (i > 0) words.push_back(address);
        }
        std::vector<size_t> before;
        for (const auto* p : servers) before.push_back(testutil::acceptedLogins(*p));
        const std::string ssh = testutil::writeSshDispatcher(work.file("ssh"), servers);
        runs.push_back(installInto(root, servers[0]->address(), words, {"SSH=" + ssh}, medium));
        for (size_t i = 0; i < servers.size(); ++i)
            logins += testutil::acceptedLogins(*servers[i]) - before[i];
    }
    report(multiplex ? "ssh to 8 hosts, @Multiplex@ on" : "ssh to 8 hosts, @Multiplex@ off", runs);
    std::printf("  ssh logins: %.1f per run (%d hosts)\n", double(logins) / n, hosts);
}

}  // namespace

int main(int argc, char** argv) {
    int n = argc > 1 ? std::atoi(argv[1]) : 3;
    if (n < 1) n = 1;
    if (geteuid() != 0) {
        std::fprintf(stderr, "install_time: run as root (the installer scouts as root)\n");
        return 1;
    }
    std::vector<Run> local;
    for (int i = 0; i < n; ++i) local.push_back(installOnce(localName(), {}, {}));
    report("local shell", local);

    testutil::SshdPeer peer;
    if (!peer.ready()) {
        std::printf("\nssh: skipped (%s)\n", peer.error().c_str());
        return 0;
    }
    std::vector<Run> ssh;
    size_t logins = testutil::acceptedLogins(peer);
    for (int i = 0; i < n; ++i)
        ssh.push_back(installOnce(peer.address(), {"@UseSSH@=1"}, {"SSH=" + peer.sshProgram()}));
    report(("ssh to " + peer.address()).c_str(), ssh);
    std::printf("  ssh logins: %.1f per run\n",
                double(testutil::acceptedLogins(peer) - logins) / n);
    manyHosts(n, true);
    manyHosts(n, false);
    return 0;
}
