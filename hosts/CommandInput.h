// The standard input of a command: a text, a local file, the output of a
// local command, or a buffered read open on another host. A source is
// opened before the command starts, so that a command never runs on input
// that could not be had.
#pragma once

#include <cstdio>

#include "hosts/CommandStreams.h"
#include "hosts/InstallHost.h"
#include "model/Str.h"

class CommandInput {
  public:
    // secret, when non-empty, goes first: a line the command reads before
    // its input. It is never logged.
    CommandInput(InstallHost::InputType type, const Str& input, const Str& host,
                 const Str& secret = Str());
    ~CommandInput();
    CommandInput(const CommandInput&) = delete;
    CommandInput& operator=(const CommandInput&) = delete;

    // Opens the source; false (logged, and recorded where a failure is
    // due) when it cannot be.
    bool open();
    // Writes the whole input to fd; errors receives the local command's
    // error text for a pipe. Shows a progress mark per 500 kilobytes.
    // False when the command stopped taking input before its end, or a
    // local source could not be read to its end: the command then did not
    // get what was meant for it.
    bool feed(int fd, CommandStreams& streams, Str& errors);

  private:
    bool openPipe();
    bool openFile();
    bool feedBlocks(int fd, CommandStreams& streams);
    bool feedRemote(int fd, CommandStreams& streams);
    bool feedString(int fd, CommandStreams& streams);
    Str pipeErrors();
    void progressMark();

    InstallHost::InputType type_;
    Str input_;
    Str host_;
    Str secret_;
    FILE* pipe_ = nullptr;
    int file_ = -1;
    InstallHost* source_ = nullptr;
    Str pipeErrorFile_;
    int marks_ = 0;
    // A block of a local file or pipe on its way to the command.
    char block_[TRANSFER_SIZE];
};
