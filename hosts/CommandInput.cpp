#include "hosts/CommandInput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hosts/HostMessages.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/DebugLog.h"

const char* const PIPE_STDERR_FILE = "/tmp/install-pipe-stderr";

namespace {

int marksThisProcess = 0;
const int MARK_BYTES = 524288;   // one mark per 500 kilobytes
const int BLOCKS_PER_MARK = 31;  // 31 blocks of 16384 bytes
const int MARKS_PER_LINE = 50;   // (25Mb)

// A fresh, private file for the local command's standard error: a fixed
// name in /tmp could be a link planted by another user.
Str makeErrorFile() {
    std::string name = std::string(PIPE_STDERR_FILE) + ".XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd < 0) return Str();
    close(fd);
    return Str(name);
}

}  // namespace

CommandInput::CommandInput(InstallHost::InputType type, const Str& input, const Str& host,
                           const Str& secret)
    : type_(type), input_(input), host_(host), secret_(secret) {}

CommandInput::~CommandInput() {
    if (pipe_) pclose(pipe_);
    if (file_ >= 0) close(file_);
    if (!pipeErrorFile_.empty()) unlink(pipeErrorFile_);
}

bool CommandInput::open() {
    switch (type_) {
        case InstallHost::PIPE_INPUT:
            return openPipe();
        case InstallHost::FILE_INPUT:
            return openFile();
        case InstallHost::REMOTE_READ_INPUT:
            source_ = InstallHost::fromRemoteReadInput(input_);
            if (!source_) dbFile << "Bad remote file send!" << std::endl;
            return source_ != nullptr;
        case InstallHost::STRING_INPUT:
            return true;
    }
    return false;
}

bool CommandInput::openPipe() {
    if (input_.empty()) {
        dbFile << "Empty pipe command!" << std::endl;
        return false;
    }
    pipeErrorFile_ = makeErrorFile();
    Str command = "(" + input_ + ") 2>" + pipeErrorFile_;
    catchBrokenPipe();
    dbFile << "\nPopen command: " << keyClean(command) << std::endl;
    errno = 0;
    if (!pipeErrorFile_.empty()) pipe_ = popen(command, "r");
    if (!pipe_ || ferror(pipe_)) {
        int e = errno;
        dbFile << "local input pipe command failed. errno = " << e << " " << strerror(e)
               << std::endl;
        recordFailure(host_, 103, {strerror(e)});
        return false;
    }
    return true;
}

bool CommandInput::openFile() {
    if (input_.empty()) {
        dbFile << "Empty input file!" << std::endl;
        statusCatalogMessage(35);
        return false;
    }
    dbFile << "\nSending file " << input_ << std::endl;
    file_ = ::open(input_, O_RDONLY | O_CLOEXEC);
    if (file_ < 0) {
        int e = errno;
        dbFile << "local file input command failed. errno = " << e << " " << strerror(e)
               << std::endl;
        Message m = installMessage(104, {input_, strerror(e)});
        recordFailure(host_, 104, {input_, strerror(e)});
        statusMessage(m);
        return false;
    }
    return true;
}

bool CommandInput::feed(int fd, CommandStreams& streams, Str& errors) {
    if (!secret_.empty() &&
        sendInput(fd, secret_.chars(), secret_.length(), streams) != secret_.length()) {
        dbFile << "short write of the secret line to the command" << std::endl;
        return false;
    }
    switch (type_) {
        case InstallHost::REMOTE_READ_INPUT:
            return feedRemote(fd, streams);
        case InstallHost::PIPE_INPUT: {
            bool whole = feedBlocks(fd, streams);
            errors.prepend(pipeErrors());
            return whole;
        }
        case InstallHost::FILE_INPUT: {
            bool whole = feedBlocks(fd, streams);
            close(file_);
            file_ = -1;
            return whole;
        }
        case InstallHost::STRING_INPUT:
            return feedString(fd, streams);
    }
    return false;
}

// Stops at the first write the command does not take: every later block
// would wait for it in vain.
bool CommandInput::feedBlocks(int fd, CommandStreams& streams) {
    dbFile << "Sending " << TRANSFER_SIZE << " byte chunks to the stream." << std::endl;
    long total = 0;
    int blocks = 0;
    bool whole = true;
    for (;;) {
        ssize_t n = pipe_ ? ssize_t(fread(block_, 1, TRANSFER_SIZE, pipe_))
                          : read(file_, block_, TRANSFER_SIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (n == 0 && pipe_ && ferror(pipe_))) {
            dbFile << "Input read failed: " << strerror(errno) << std::endl;
            whole = false;
        }
        if (n <= 0) break;
        if (sendInput(fd, block_, int(n), streams) != n) {
            dbFile << "Input write to rcmd failed" << std::endl;
            whole = false;
            break;
        }
        total += n;
        if (++blocks % BLOCKS_PER_MARK == 0) progressMark();
    }
    char line[80];
    snprintf(line, sizeof line, "...sent %ld bytes to remote command", total);
    dbFile << line << std::endl;
    status(".");
    return whole;
}

bool CommandInput::feedRemote(int fd, CommandStreams& streams) {
    long total = 0;
    long count = 0;
    bool whole = true;
    for (;;) {
        char* block = nullptr;
        int n = source_->contBufferedRead(block);
        if (n <= 0) {
            delete[] block;
            break;
        }
        int sent = sendInput(fd, block, n, streams);
        delete[] block;
        if (sent != n) {
            dbFile << "Remote read input write to rcmd failed" << std::endl;
            whole = false;
            break;
        }
        total += n;
        count += n;
        if (count >= MARK_BYTES) {
            progressMark();
            count &= MARK_BYTES - 1;
        }
    }
    char line[80];
    snprintf(line, sizeof line, "...remote sent %ld bytes to remote command", total);
    dbFile << line << std::endl;
    status(".");
    source_->cleanupBufferedReadStuff();
    return whole;
}

bool CommandInput::feedString(int fd, CommandStreams& streams) {
    if (input_.empty()) return true;
    dbFile << "\ninput:\n" << keyClean(input_) << std::endl;
    int n = sendInput(fd, input_.chars(), input_.length(), streams);
    if (n != input_.length()) {
        dbFile << "short write to remote command!" << std::endl;
        return false;
    }
    dbFile << "sent " << n << " bytes to command" << std::endl;
    return true;
}

// The local command's standard error, unless it only said it had none.
Str CommandInput::pipeErrors() {
    pclose(pipe_);
    pipe_ = nullptr;
    Str text;
    int fd = ::open(pipeErrorFile_, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n;
        while ((n = read(fd, block_, TRANSFER_SIZE)) > 0) text += Str(block_, int(n));
        close(fd);
    }
    unlink(pipeErrorFile_);
    pipeErrorFile_ = Str();
    if (text.empty() || text == "no messages.\n") return Str();
    return "standard error from input pipe:\n===\n" + text + "===\n";
}

void CommandInput::progressMark() {
    if (marksThisProcess++ == 0) statusCatalogMessage(102);
    if (marks_ == MARKS_PER_LINE) {
        statusCatalogMessage(23);
        marks_ = 1;
    } else {
        status(">");
        ++marks_;
    }
}
