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
    CommandInput(InstallHost::InputType type, const Str& input, const Str& host);
    ~CommandInput();
    CommandInput(const CommandInput&) = delete;
    CommandInput& operator=(const CommandInput&) = delete;

    // Opens the source; false (logged, and recorded where a failure is
    // due) when it cannot be.
    bool open();
    // Writes the whole input to fd; errors receives the local command's
    // error text for a pipe. Shows a progress mark per 500 kilobytes.
    void feed(int fd, CommandStreams& streams, Str& errors);

  private:
    bool openPipe();
    bool openFile();
    void feedBlocks(int fd, CommandStreams& streams);
    void feedRemote(int fd, CommandStreams& streams);
    void feedString(int fd, CommandStreams& streams);
    Str pipeErrors();
    void progressMark();

    InstallHost::InputType type_;
    Str input_;
    Str host_;
    FILE* pipe_ = nullptr;
    int file_ = -1;
    InstallHost* source_ = nullptr;
    Str pipeErrorFile_;
    int marks_ = 0;
    // A block of a local file or pipe on its way to the command.
    char block_[TRANSFER_SIZE];
};
