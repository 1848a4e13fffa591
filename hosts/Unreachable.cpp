#include "hosts/Unreachable.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "engine/HostFailure.h"
#include "hosts/HostMessages.h"
#include "model/DebugLog.h"

namespace {

const long kNoAddress = 284;
const long kRefused = 285;
const long kKeyRejected = 286;
const long kNoAnswer = 287;

// A line of the client is the peer's word as much as ours: bounded, and
// only printable characters reach the report.
const int kDetailMax = 200;

Str cleanLine(const std::string& line) {
    std::string out;
    std::string text = line;
    while (!text.empty() && text.back() == '\r') text.pop_back();
    for (char c : text) {
        if (out.size() >= size_t(kDetailMax)) break;
        out += (static_cast<unsigned char>(c) < ' ' || c == 0x7f) ? '?' : c;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    return Str(out.c_str());
}

// The secure shell client's texts for each reason, as it words them.
struct ClientText {
    const char* text;
    long message;
};
const ClientText kClientTexts[] = {
    {"Could not resolve hostname", kNoAddress},
    {"Connection refused", kRefused},
    {"Host key verification failed", kKeyRejected},
    {"REMOTE HOST IDENTIFICATION HAS CHANGED", kKeyRejected},
    {"Permission denied", kKeyRejected},
    {"timed out", kNoAnswer},
    {"No route to host", kNoAnswer},
    {"Network is unreachable", kNoAnswer},
};

UnreachableReason fromClient(const Str& errors) {
    std::string text = errors.str();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        for (const ClientText& t : kClientTexts)
            if (line.find(t.text) != std::string::npos) return {t.message, cleanLine(line)};
        start = end + 1;
    }
    return {};
}

UnreachableReason fromErrno(int err) {
    switch (err) {
        case ECONNREFUSED:
            return {kRefused, std::strerror(err)};
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EINTR:  // the login wait ended the connection attempt
            return {kNoAnswer, std::strerror(err == EINTR ? ETIMEDOUT : err)};
        default:
            return {};
    }
}

// The resolver's answer when the name has no address; empty when it has
// one or the question could not be settled (a resolver that is down says
// nothing about the name).
Str noAddress(const Str& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.chars(), nullptr, &hints, &found);
    if (rc == 0) {
        freeaddrinfo(found);
        return Str();
    }
    dbFile << "look-up of " << host << ": " << gai_strerror(rc) << std::endl;
    return rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL ? Str(gai_strerror(rc)) : Str();
}

}  // namespace

UnreachableReason unreachableReason(const Str& host, int connectErrno, const Str& clientErrors) {
    Str missing = noAddress(host);
    if (!missing.empty()) return {kNoAddress, missing};
    UnreachableReason r = fromErrno(connectErrno);
    if (r.message != 0) return r;
    return fromClient(clientErrors);
}

void recordUnreachable(const Str& host, int connectErrno, const Str& clientErrors) {
    UnreachableReason r = unreachableReason(host, connectErrno, clientErrors);
    if (r.message == 0) return;
    Message m = installMessage(r.message, {host, r.detail});
    Str line = m.bound_msg();
    if (QRX_Types_XOpenMessage* held = hostFailures.host_msg(host)) {
        if (Message(held, 0).bound_msg().contains(line)) return;
    }
    dbFile << line << std::endl;
    hostFailures.addFailure(host, m);
}
