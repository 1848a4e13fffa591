// Network helpers: binding inside the framework's port range, the local
// host name and a thread-safe host look-up.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>

// Results of range_bind.
constexpr int QRX_BIND_OK = 0;
constexpr int QRX_BIND_BAD_ARGUMENT = -1;  // no socket, or not an IPv4 address
constexpr int QRX_BIND_BAD_RANGE = -2;     // QRX_PORT_RANGE is not "low-high"
constexpr int QRX_BIND_NO_RANGE = -3;      // QRX_PORT_RANGE is unset or empty
constexpr int QRX_BIND_NO_PORT = -4;       // no port of the range could be bound

// Binds socket to the Internet address (IPv4, length at least
// sizeof(sockaddr_in)) with the first port of the configured range that the
// system accepts, trying each port in turn from the low end. The range is
// the environment variable QRX_PORT_RANGE, "low-high" with
// 1 <= low <= high <= 65535. On success the chosen port is stored into
// address. Returns one of the QRX_BIND_* values.
int range_bind(int socket, struct sockaddr* address, socklen_t length);

// Fills buffer with the local host name (the system's node name),
// NUL-terminated. Returns 0, or -1 when it cannot be had or does not fit.
int local_host_name(char* buffer, size_t size);

// Looks name up (IPv4) and returns the official name, the aliases and the
// address list as one newly allocated record, to be released with
// swstack_freehostent; null when the name is unknown. Safe to call from
// several threads.
struct hostent* swstack_gethostbyname(const char* name);
void swstack_freehostent(struct hostent* host);
