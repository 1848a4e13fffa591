// A fuzz target reads untrusted input and must change nothing outside its
// own process: whatever the input says, it starts no process, opens no
// socket and creates, changes or removes no file-system entry.
//
// While a NoSideEffects object lives, the C library calls that would do so
// (fork, exec, popen, system, socket, open for writing, mkdir, unlink,
// rename, chmod, mkstemp, tmpfile, ...) end the process with a message
// naming the call: libFuzzer then keeps the input as a crash, the finding
// of a reader that acts on what it reads. Outside such a scope the calls
// pass through, so the fuzzer itself can save its findings.
//
// Only calls made through the library's exported names are seen; fopen is
// left alone, since libFuzzer writes its findings through it and none of
// the readers uses it.
#pragma once

class NoSideEffects {
  public:
    NoSideEffects();
    ~NoSideEffects();
    NoSideEffects(const NoSideEffects&) = delete;
    NoSideEffects& operator=(const NoSideEffects&) = delete;
};
