// The host type test: which interpreter type a host has, from what it
// answers to "ver" and to uname, matched against the identity table.
#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/Platform.h"
#include "framework/qrx_exception.h"
#include "hosts/HostMessages.h"
#include "hosts/InstallHost.h"
#include "hosts/Os2Host.h"
#include "hosts/RemoteCommand.h"
#include "hosts/Status.h"
#include "model/DebugLog.h"

namespace {

Str runTest(const char* host, const Str& command, AccessMethod access, const char* user,
            const char* password, int wrap) {
    Str output, errors;
    commandOnHost(host, command, access, user, password, EMPTY, output, errors,
                  InstallHost::STRING_INPUT, nullptr, wrap);
    return output;
}

bool wispAllowed() {
    return argInfo.kind != 1 && argInfo.config.translate(nullptr, "@dontWisp@").empty();
}

// Tries to install the remote installation service; the type it reports,
// or empty. Never stops the type test.
Str tryWisp(const char* host, const char* user, const char* password, AccessMethod access) {
    if (access == TRUSTED_HOST || (access == DEFAULT_ACCESS && argInfo.rootPassword.empty())) {
        dbFile << "Can't install wisp by TRUSTED_HOST access." << std::endl;
        return Str();
    }
    Str wispUser(user), wispPassword(password);
    if (access == DEFAULT_ACCESS) {
        wispPassword = argInfo.rootPassword;
        wispUser = argInfo.defaultUser.empty() ? Str("Administrator") : argInfo.defaultUser;
    }
    Str typeOut;
    try {
        if (installWisp(host, wispUser, wispPassword, typeOut)) {
            dbFile << "installed Wisp" << std::endl;
            statusMessage(installMessage(162, {host}));
        } else {
            dbFile << "couldn't install wisp on " << host << std::endl;
        }
    } catch (const std::exception& e) {
        dbFile << "getInstallHostObject: exception installing wisp on " << host << "\n"
               << e.what() << std::endl;
    }
    return typeOut;
}

// The first identity line whose pattern matches the uname output, or empty.
Str matchIdentity(const char* host, const Str& unameOutput) {
    Str table = argInfo.config.translate(nullptr, "@identity@");
    dbFile << "identity info:\n" << table << std::endl;
    int lines = table.freq('\n') + 1;
    Str rest = table;
    for (int i = 0; i < lines; ++i) {
        Str line = rest.contains('\n') ? Str(rest.before('\n')) : rest;
        rest = rest.contains('\n') ? Str(rest.after('\n')) : Str();
        if (!line.contains('=')) continue;
        Str type = line.before('=');
        Regex pattern(Str(line.after('=')));
        int len = 0;
        if (pattern.ok() && pattern.search(unameOutput.str(), 0, len) >= 0) {
            dbFile << "Found host match, " << host << "==" << type << std::endl;
            return type;
        }
    }
    return Str();
}

void recordUnknownType(const char* host, const Str& unameOutput) {
    dbFile << "Can't id host " << host << unameOutput << "!!!" << std::endl;
    if (sshExeSearchFailed)
        recordFailure(host, 273, {lastSshProgram(), lastSshPath()});
    else
        hostFailures.addFailureCritical(host, installMessage(95));
}

}  // namespace

InstallHost* getInstallHostObject(const char* host, const char* user, const char* password,
                                  AccessMethod access, const char* type) {
    if (type && *type) return new InstallHost(host, type, user, password, access);

    Str ver = runTest(host, "ver", access, user, password, 0);
    if (ver.contains("System/2") || ver.contains("OS/2")) {
        InstallHost* ih = new InstallHost(host, "os2-ix86", user, password, access);
        dbFile << "Host type test indicates OS2.  Check for required unix-like tools." << std::endl;
        prepareOs2InstallHostObject(host, user, password, access, ih);
        return ih;
    }

    if (wispAllowed()) {
        Str wispType = tryWisp(host, user, password, access);
        if (!wispType.empty()) return new InstallHost(host, wispType, user, password, access);
    }

    Str uname = argInfo.config.translate(nullptr, "@uname@");
    dbFile << "uname:" << uname << std::endl;
    Str output = runTest(host, genericRemoteWrapper(uname, nullptr), access, user, password, 1);
    if (output.empty() || output.contains("FAILED")) {
        dbFile << "Failure of the host type test, returning 0" << std::endl;
        return nullptr;
    }
    Str found = matchIdentity(host, output);
    if (!found.empty()) return new InstallHost(host, found, user, password, access);
    recordUnknownType(host, output);
    return nullptr;
}
