// Per-command overhead of the remote command path: a command through the
// local shell and through ssh on loopback (a private sshd), against the
// bare cost of starting the same shell or ssh client and waiting for it.
// Prints the median and mean wall time per command in milliseconds.
//
// Run as root (sshd needs it); the ssh part is skipped when sshd cannot be
// started. Usage: command_overhead [repetitions]
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/Args.h"
#include "hosts/InstallHost.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/config_data.h"
#include "tests/sshd_peer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double median, mean;
};

Figures measure(int repetitions, const std::function<void()>& once) {
    std::vector<double> ms;
    once();  // warm caches and the first-use look-ups
    for (int i = 0; i < repetitions; ++i) {
        auto start = Clock::now();
        once();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    return {ms[ms.size() / 2], sum / double(ms.size())};
}

void print(const char* what, const Figures& f) {
    std::printf("%-44s median %8.2f ms   mean %8.2f ms\n", what, f.median, f.mean);
}

// Starts argv and waits for it: the floor below which no command can go.
void spawnAndWait(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0)
        waitpid(pid, nullptr, 0);
}

void viaHost(InstallHost& host, const char* command, const char* expected) {
    Str out, err;
    host.runCommand(command, EMPTY, out, err, InstallHost::STRING_INPUT);
    if (out != expected) {
        std::fprintf(stderr, "unexpected output from %s: '%s'\n", command, out.chars());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int n = argc > 1 ? std::atoi(argv[1]) : 50;
    if (n < 1) n = 1;
    argInfo.config = Configuration(config_data);
    set_status_stream(nullptr);

    InstallHost local(localName(), "linux-ix86", "root", "", TRUSTED_HOST);
    std::printf("%d commands each\n", n);
    print("bare sh -c true", measure(n, [] { spawnAndWait({"sh", "-c", "true"}); }));
    print("local host: true", measure(n, [&] { viaHost(local, "true", ""); }));
    print("local host: echo x", measure(n, [&] { viaHost(local, "echo x", "x\n"); }));
    print("bare sh -c 'sleep 0.01'", measure(n, [] { spawnAndWait({"sh", "-c", "sleep 0.01"}); }));
    print("local host: sleep 0.01 (10 ms of work)",
          measure(n, [&] { viaHost(local, "sleep 0.01", ""); }));

    testutil::SshdPeer peer;
    if (!peer.ready()) {
        std::printf("ssh: skipped (%s)\n", peer.error().c_str());
        return 0;
    }
    setenv("SSH", peer.sshProgram().c_str(), 1);
    InstallHost remote(peer.address().c_str(), "linux-ix86", "root", "", SSH_ACCESS);
    int sshN = std::max(1, n / 5);
    std::printf("ssh on loopback (%s:%u), %d commands each\n", peer.address().c_str(), peer.port(),
                sshN);
    print("bare ssh client: true", measure(sshN, [&] {
              spawnAndWait({peer.sshProgram(), "-x", "-T", "-l", "root", peer.address(), "true"});
          }));
    print("ssh: true", measure(sshN, [&] { viaHost(remote, "true", ""); }));
    print("ssh: sleep 0.01 (10 ms of work)",
          measure(sshN, [&] { viaHost(remote, "sleep 0.01", ""); }));
    return 0;
}
