// Client of the remote execution service ("exec"): logs in with a user name
// and a clear-text password and starts one command. Both local sockets are
// bound inside the framework's port range.
#pragma once

// A stream socket of the Internet family bound to a local port: a free port
// of the framework's range, or one the system picks when no range is
// configured. -1 on failure.
int open_and_bind();

// Connects to the service on host (port in network byte order), asks for an
// error channel when errorChannel is not null, sends user, password and
// command, and reads the server's answer. Returns the socket carrying the
// command's standard input and output, or -1 on any failure; when the
// server refuses, its text up to the first newline is copied to the
// process's standard error. On success *host points to the host's official
// name (storage owned here, valid until the next call) and *errorChannel
// holds the command's standard error socket. After a failure errno holds
// the error of the connection attempt, 0 when the failure came later.
//
// No wait is unbounded: the wait for the server's error connection and the
// wait for its answer each end after rexecWaitSeconds(), and the first also
// ends when the server closes the command connection. boundedWait (set for
// OS/2 hosts) is accepted for its callers; the bound now holds for every
// host, since a server that accepts and never connects back would otherwise
// hold the installer for ever.
int vlk_rexec(char** host, unsigned short port, const char* user, const char* password,
              const char* command, int* errorChannel, int boundedWait);

// The limit of each wait of vlk_rexec, 180 seconds unless changed; the
// setter returns the previous value (tests shorten it).
int rexecWaitSeconds();
int setRexecWaitSeconds(int seconds);
