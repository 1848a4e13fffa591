// Hands the install's progress from the worker thread to the event loop.
// The worker posts; the event loop watches readFd() and receives, so no
// widget is ever touched outside the event loop. Events arrive whole and
// in the order they were posted.
#pragma once

#include <string>

class StatusChannel {
  public:
    enum Kind { LINE = 'L', FINISHED = 'F' };
    struct Event {
        Kind kind = LINE;
        std::string text;
    };

    StatusChannel();  // aborts the program when no pipe can be made
    ~StatusChannel();
    StatusChannel(const StatusChannel&) = delete;
    StatusChannel& operator=(const StatusChannel&) = delete;

    int readFd() const { return fds_[0]; }
    void postLine(const std::string& text) { post(LINE, text); }
    void postFinished() { post(FINISHED, std::string()); }
    // Blocks until one whole event is read; false when the pipe failed.
    bool receive(Event& event);

  private:
    void post(Kind kind, const std::string& text);
    int fds_[2] = {-1, -1};
};
