#include "hosts/RemoteCommand.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "engine/Platform.h"
#include "hosts/HostMessages.h"
#include "hosts/SshMaster.h"
#include "hosts/host_test_fixture.h"

namespace {

class LocalCommand : public HostTest {
  protected:
    // Runs command on the local host as it is (no framing added).
    Str run(const Str& command, const Str& input = EMPTY,
            InstallHost::InputType type = InstallHost::STRING_INPUT,
            AccessMethod access = TRUSTED_HOST) {
        errors = "stale";
        Str output = "untouched";
        commandOnHost(localName(), command, access, "root", "", input, output, errors, type,
                      nullptr, 1);
        return output;
    }
    // Runs command framed, through a host object for the local host.
    Str runFramed(const Str& command, const Str& input = EMPTY,
                  InstallHost::InputType type = InstallHost::STRING_INPUT) {
        InstallHost host(localName(), "linux-ix86", "root", "", TRUSTED_HOST);
        Str output;
        host.runCommand(command, input, output, errors, type);
        return output;
    }
    std::string executable(const std::string& name, const std::string& text) {
        std::string path = dir.write(name, text);
        chmod(path.c_str(), 0755);
        return path;
    }

    Str errors;
};

TEST_F(LocalCommand, OutputIsCutOutOfTheFrame) {
    struct Case {
        const char* printed;
        const char* output;
    } cases[] = {
        {"BEG_OF_STREAM\\nabc\\n\\nEND_OF_STREAM\\n", "abc\n"},
        {"BEG_OF_STREAM\\n\\nEND_OF_STREAM\\n", ""},
        {"login banner\\nBEG_OF_STREAM\\nx\\ny\\n\\nEND_OF_STREAM\\nlogout\\n", "x\ny\n"},
        {"BEG_OF_STREAM\\r\\nab\\r\\n\\r\\nEND_OF_STREAM\\r\\n", "ab\n"},
        {"BEG_OF_STREAM\\nEND_OF_STREAM\\nEND_OF_STREAM\\n", "END_OF_STREAM"},
        {"BEG_OF_STREAMEND_OF_STREAM", ""},
        {"BEG_OF_STREAM\\npartial", "\npartialOutput truncated."},
        {"noise BEG_OF_STREAM\\npartial", "noise BEG_OF_STREAM\npartialOutput truncated."},
        {"abc\\n\\nEND_OF_STREAM\\n", "abc\n\nEND_OF_STREAM\nOutput truncated."},
        {"", "Output truncated."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(Str("printf '") + c.printed + "'"), c.output) << c.printed;
        EXPECT_EQ(errors, "") << c.printed;
    }
}

TEST_F(LocalCommand, FramedCommandsRunWithTheDefaultPath) {
    EXPECT_EQ(runFramed("echo hello; echo world"), "hello\nworld\n");
    EXPECT_EQ(runFramed("true"), "");
    EXPECT_EQ(runFramed("echo $PATH | grep -c /usr/ucb"), "1\n");
    EXPECT_EQ(runFramed("echo 'single quoted' \"double\""), "single quoted double\n");
    EXPECT_TRUE(logged("executing following command #"));
    EXPECT_TRUE(logged(";echo BEG_OF_STREAM;QS_G=;"));
    EXPECT_TRUE(logged(";umask 022;echo hello; echo world; echo; echo END_OF_STREAM\n"));
}

TEST_F(LocalCommand, GenericWrapperFraming) {
    Str framed = genericRemoteWrapper("ls", nullptr);
    EXPECT_EQ(framed,
              "PATH=\"/bin:/usr/bin:/usr/ucb:$PATH\";export PATH;umask 022;echo BEG_OF_STREAM;"
              "QS_G=;command -v setsid >/dev/null 2>&1&&QS_G=setsid;$QS_G sh -c \"$(cat "
              "<<'QS_END_OF_COMMAND'\necho \"PGID_OF_STREAM ${1:+$$}\";set "
              "--;PATH=\"/bin:/usr/bin:/usr/ucb:$PATH\";export "
              "PATH;umask 022;ls; echo; echo "
              "END_OF_STREAM\nQS_END_OF_COMMAND\n)\" sh $QS_G;exit");
    InstallHost os2("o", "os2-ix86", "", "", TRUSTED_HOST);
    os2.setToolsLoc("c:/MNTOOLS");
    EXPECT_EQ(genericRemoteWrapper("ls", &os2),
              "set -a;PATH=\"c:/MNTOOLS:$PATH\";echo BEG_OF_STREAM;ls; echo; echo END_OF_STREAM");
}

TEST_F(LocalCommand, LocalHostRunsThroughTheShellWhateverTheMethod) {
    testutil::ScopedEnv ssh("SSH", "/nonexistent/ssh");
    for (AccessMethod m : {DEFAULT_ACCESS, TRUSTED_HOST, USER_PASSWORD, SSH_ACCESS})
        EXPECT_EQ(run("printf 'BEG_OF_STREAM\\n%s\\n\\nEND_OF_STREAM' \"it's\"", EMPTY,
                      InstallHost::STRING_INPUT, m),
                  "it's\n")
            << m;
    EXPECT_EQ(sshExeSearchFailed, 0);
}

TEST_F(LocalCommand, StringInputIsFedWhole) {
    EXPECT_EQ(runFramed("cat", "line 1\nline 2\n"), "line 1\nline 2\n");
    EXPECT_TRUE(logged("sent 14 bytes to command"));
    EXPECT_EQ(runFramed("cat", ""), "");
}

// A command that answers while its input still comes: the installer must
// read the answer meanwhile, or both sides wait on full pipes for ever.
TEST_F(LocalCommand, LargeInputEchoedBackWhileItIsSent) {
    std::string big;
    for (int i = 0; big.size() < 3 * 1024 * 1024; ++i) big += "row " + std::to_string(i) + "\n";
    Str out = runFramed("cat; cat >&2 </dev/null", big);
    EXPECT_EQ(out.length(), int(big.size()));
    EXPECT_TRUE(out == big.c_str());
    std::string part = big.substr(0, big.find('\n', 256 * 1024) + 1);
    Str both = runFramed("while read l; do echo \"$l\"; echo \"$l\" >&2; done", part);
    EXPECT_TRUE(both == part.c_str());
    EXPECT_TRUE(errors == part.c_str());
}

TEST_F(LocalCommand, StandardErrorGoesToErrorsAndTheHostRecord) {
    EXPECT_EQ(runFramed("echo out; echo first >&2; echo second >&2"), "out\n");
    EXPECT_EQ(errors, "first\nsecond\n");
    hostFailures.addFailureCritical(localName(), installMessage(95));
    EXPECT_NE(report().find("first | second"), std::string::npos) << report();
    EXPECT_TRUE(logged("stderr: first\nsecond\n"));
}

TEST_F(LocalCommand, FileInputStreamsInBlocks) {
    std::string text(100000, 'x');
    std::string path = dir.write("in", text);
    EXPECT_EQ(runFramed("wc -c", path.c_str(), InstallHost::FILE_INPUT), "100000\n");
    EXPECT_TRUE(logged("Sending 16384 byte chunks to the stream."));
    EXPECT_TRUE(logged("...sent 100000 bytes to remote command"));
}

TEST_F(LocalCommand, FileInputThatCannotBeOpenedRunsNothing) {
    std::string marker = dir.file("ran");
    Str missing = Str(dir.file("missing").c_str());
    EXPECT_EQ(run(Str("touch ") + marker.c_str(), missing, InstallHost::FILE_INPUT), "untouched");
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
    std::string expected = "  Can not open file `" + missing.str() +
                           "' for transfer: `No such file or directory'\ntrying to continue...";
    EXPECT_NE(report().find(expected), std::string::npos) << report();
    EXPECT_EQ(shown().back(), expected);

    statusLines().clear();
    EXPECT_EQ(run(Str("touch ") + marker.c_str(), "", InstallHost::FILE_INPUT), "untouched");
    EXPECT_EQ(shown(), std::vector<std::string>{"Input file name not specified for command.\n"});
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST_F(LocalCommand, PipeInputWithItsErrorText) {
    EXPECT_EQ(runFramed("cat", "echo data; echo oops >&2", InstallHost::PIPE_INPUT), "data\n");
    EXPECT_EQ(errors, "standard error from input pipe:\n===\noops\n===\n");
    EXPECT_EQ(runFramed("cat; echo late >&2", "echo data; echo 'no messages.' >&2",
                        InstallHost::PIPE_INPUT),
              "data\n");
    EXPECT_EQ(errors, "late\n");
    EXPECT_TRUE(logged("\nPopen command: (echo data; echo oops >&2) 2>/tmp/install-pipe-stderr."));
    EXPECT_EQ(run("touch never", "", InstallHost::PIPE_INPUT), "untouched");
    EXPECT_TRUE(logged("Empty pipe command!"));
}

TEST_F(LocalCommand, BadRemoteReadInputRunsNothing) {
    std::string marker = dir.file("ran");
    for (const char* bad : {"", "0", "1234", "not a host"}) {
        EXPECT_EQ(run(Str("touch ") + marker.c_str(), bad, InstallHost::REMOTE_READ_INPUT),
                  "untouched")
            << bad;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << bad;
    }
    EXPECT_TRUE(logged("Bad remote file send!"));
}

// The remote media path: a buffered read open on one host feeds a command
// on another; both children are reaped.
TEST_F(LocalCommand, BufferedReadOfAnotherHostFeedsTheCommand) {
    std::string text(1536 * 1024, 'm');
    dir.write("image", text);
    InstallHost source(localName(), "linux-ix86", "root", "", TRUSTED_HOST);
    ASSERT_EQ(source.setupBufferedReadFile(dir.path().c_str(), "image"), 1) << log();
    EXPECT_EQ(runFramed("wc -c", source.remoteReadInput(), InstallHost::REMOTE_READ_INPUT),
              "1572864\n");
    EXPECT_TRUE(logged("...remote sent 1572864 bytes to remote command"));
    std::vector<std::string> marks = shown();
    EXPECT_EQ(std::count(marks.begin(), marks.end(), ">"), 3);
    // The reader's child is reaped by the next command at the latest.
    EXPECT_EQ(runFramed("true"), "");
    EXPECT_EQ(finishChild(), -1);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// 60 marks of 31 blocks each: the explanation once per process, then 50
// ">" marks, the line end, and 9 more.
TEST_F(LocalCommand, ProgressMarks) {
    const long blocks = 60 * 31;
    Str feeder = Str("head -c ") + std::to_string(blocks * 16384).c_str() + " /dev/zero";
    EXPECT_EQ(runFramed("wc -c", feeder, InstallHost::PIPE_INPUT),
              (std::to_string(blocks * 16384) + "\n").c_str());
    std::vector<std::string> marks = shown();
    const std::string explanation =
        "Each `>' represents 500 kbytes transfered.\nEach '.' means that the current operation "
        "is still processing.\n";
    if (!marks.empty() && marks.front() == explanation) marks.erase(marks.begin());
    std::vector<std::string> expected(50, ">");
    expected.push_back("(25Mb)\n >");
    expected.insert(expected.end(), 9, ">");
    EXPECT_EQ(marks, expected) << marks.size();
    statusLines().clear();

    runFramed("wc -c", feeder, InstallHost::PIPE_INPUT);
    marks = shown();
    EXPECT_EQ(std::count(marks.begin(), marks.end(), explanation), 0);
    EXPECT_EQ(marks.size(), 60u);
}

// A command that stops reading ends cleanly, and the caller learns that it
// did not get all of its input, whatever kind of input it was; no further
// block is offered to it.
TEST_F(LocalCommand, CommandThatStopsReadingEndsCleanlyAndIsReported) {
    std::string big(2 * 1024 * 1024, 'z');
    std::string file = dir.write("big", big);
    struct Case {
        InstallHost::InputType type;
        Str input;
        const char* logLine;
    } cases[] = {
        {InstallHost::STRING_INPUT, Str(big.c_str()), "short write to remote command!"},
        {InstallHost::FILE_INPUT, file.c_str(), "Input write to rcmd failed"},
        {InstallHost::PIPE_INPUT, ("cat " + file).c_str(), "Input write to rcmd failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(runFramed("exec 0<&-; echo gone", c.input, c.type), "gone\n");
        EXPECT_EQ(errors, INPUT_CUT_SHORT);
        EXPECT_TRUE(logged(c.logLine));
    }
    EXPECT_EQ(runFramed("head -c 10 >/dev/null; echo read", "0123456789"), "read\n");
    EXPECT_EQ(errors, "");
}

TEST_F(LocalCommand, SilentCommandIsGivenUpAfterTheIdleLimit) {
    int old = setCommandIdleLimit(2);
    Str out = run("echo BEG_OF_STREAM; exec sleep 60");
    setCommandIdleLimit(old);
    EXPECT_EQ(out, "\nOutput truncated.");
    EXPECT_TRUE(logged("no output from command for 2 seconds; giving up"));
    EXPECT_EQ(shown().size(), 0u);
    EXPECT_GE(statusLines().size(), 2u);
}

// A silent command is stopped at the idle limit with everything it
// started: framed, its own group by the group line; unframed, the group of
// the local shell. Also when it is the input that is not taken.
TEST_F(LocalCommand, CommandGivenUpAtTheIdleLimitEndsWithItsChildren) {
    const std::string shell = dir.file("shell"), child = dir.file("child");
    const std::string record = "sleep 300 & echo $! > " + child + "; echo $$ > " + shell + "; ";
    const std::string big(4 * 1024 * 1024, 'i');
    struct Case {
        bool framed;
        std::string command;
        std::string input;
    } cases[] = {
        {true, record + "sleep 300", ""},
        {true, record + "exec sleep 300", big},
        {false, "echo BEG_OF_STREAM; " + record + "sleep 300", ""},
    };
    int old = setCommandIdleLimit(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + (c.input.empty() ? "" : " with input"));
        unlink(shell.c_str());
        unlink(child.c_str());
        Str out = c.framed ? runFramed(c.command.c_str(), c.input.c_str())
                           : run(c.command.c_str(), c.input.c_str());
        pid_t shellPid = testutil::pidFromFile(shell, 1),
              childPid = testutil::pidFromFile(child, 1);
        ASSERT_GT(shellPid, 1);
        ASSERT_GT(childPid, 1);
        EXPECT_TRUE(testutil::processEndsWithin(shellPid, 10));
        EXPECT_TRUE(testutil::processEndsWithin(childPid, 10));
        EXPECT_EQ(out, "\nOutput truncated.");
        if (c.framed) {
            EXPECT_NE(errors.index("the command was stopped on the host at the idle limit of 2 "
                                   "seconds (process group " +
                                   Str(std::to_string(shellPid)) + ")\n"),
                      -1)
                << errors;
            EXPECT_TRUE(logged("the command was stopped on the host at the idle limit"));
        }
    }
    setCommandIdleLimit(old);
}

// The part of a stand-in ssh client that plays a master connection: it
// only listens on its control socket until it is ended.
const char* const kFakeMaster =
    "case \" $* \" in *' -M '*)\n"
    "  for a; do case \"$a\" in ControlPath=*) p=${a#ControlPath=};; esac; done\n"
    "  exec perl -MIO::Socket::UNIX -e "
    "'$s = IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 1) or exit 1; sleep "
    "600' \"$p\";;\n"
    "esac\n";

// A host that cannot be reached for the stop: the errors say so and why,
// never that the command was stopped.
TEST_F(LocalCommand, HostThatCannotBeReachedForTheStop) {
    // Runs commands here, as a master only listens on its control socket,
    // and refuses the connection of the stop.
    std::string fake = executable(
        "fake-ssh",
        std::string("#!/bin/sh\n") + kFakeMaster +
            "for a; do last=$a; done\n"
            "case \"$last\" in *'kill -TERM'*)\n"
            "  echo 'ssh: connect to host 127.0.0.2 port 22: Connection refused' >&2; exit 255;;\n"
            "esac\n"
            "exec sh -c \"$last\"\n");
    testutil::ScopedEnv ssh("SSH", fake.c_str());
    const std::string shell = dir.file("shell");
    InstallHost h("127.0.0.2", "linux-ix86", "root", "", SSH_ACCESS);
    Str output;
    int old = setCommandIdleLimit(2);
    h.runCommand(("echo $$ > " + shell + "; exec sleep 300").c_str(), EMPTY, output, errors,
                 InstallHost::STRING_INPUT);
    setCommandIdleLimit(old);
    closeSshMasters();
    pid_t group = testutil::pidFromFile(shell, 1);
    ASSERT_GT(group, 1);
    // Left running where it "is": this test's own to end.
    kill(-group, SIGKILL);
    const char* notStopped =
        "the command was given up at the idle limit of 2 seconds and could not be stopped on the "
        "host: the host did not answer the stop command (ssh: connect to host 127.0.0.2 port 22: "
        "Connection refused)\n";
    EXPECT_NE(errors.index(notStopped), -1) << errors;
    EXPECT_EQ(errors.index("was stopped"), -1) << errors;
    EXPECT_TRUE(logged(notStopped));
    EXPECT_TRUE(testutil::processEndsWithin(group, 10));
}

// A stand-in for the ssh client that shows what it was given.
TEST_F(LocalCommand, SshClientArgumentsAndEnvironment) {
    std::string fake = executable("fake-ssh", std::string("#!/bin/sh\n") + kFakeMaster +
                                                  "echo BEG_OF_STREAM\n"
                                                  "for a; do echo \"[$a]\"; done\n"
                                                  "echo \"askpass=$SSH_ASKPASS\"\n"
                                                  "echo \"password=${SSH_PASSWORD-unset}\"\n"
                                                  "echo \"display=$DISPLAY\"\n"
                                                  "echo; echo END_OF_STREAM\n");
    testutil::ScopedEnv ssh("SSH", fake.c_str());
    testutil::ScopedEnv interp("INTERP", "linux-ix86");
    Str output;
    commandOnHost("127.0.0.2", "echo 'a b'", SSH_ACCESS, "admin", "pw", EMPTY, output, errors,
                  InstallHost::STRING_INPUT, nullptr, 1);
    std::string askpass = GetInstallDir().str() + "/";
    // Through the host's master connection, never waiting for a prompt.
    EXPECT_EQ(output.str().find("[-x]\n[-T]\n[-o]\n[ControlPath=/tmp/quillset-ssh."), 0u) << output;
    EXPECT_NE(output.str().find("]\n[-o]\n[ControlMaster=no]\n[-o]\n[ConnectTimeout=20]\n[-o]\n"
                                "[NumberOfPasswordPrompts=1]\n[-l]\n[admin]\n[127.0.0.2]\n"
                                "[sh -c 'echo '\\''a b'\\''']\naskpass=" +
                                askpass),
              std::string::npos)
        << output;
    EXPECT_NE(output.str().find("/BLN/INSTALL/vlk_ssh_askpass.sh\npassword=pw\ndisplay=:-1.-1\n"),
              std::string::npos)
        << output;
    commandOnHost("127.0.0.2", "ls", SSH_ACCESS, "", "", EMPTY, output, errors,
                  InstallHost::STRING_INPUT, nullptr, 0);
    EXPECT_NE(output.str().find("[ConnectTimeout=20]\n[-o]\n[BatchMode=yes]\n[127.0.0.2]\n[ls]\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.str().find("password=unset\n"), std::string::npos) << output;
    EXPECT_EQ(lastSshProgram(), fake.c_str());
    closeSshMasters();
}

}  // namespace
