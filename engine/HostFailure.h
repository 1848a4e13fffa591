// Problems of an install run, collected per host and printed as one report
// after planning. Recording never fails the run.
#pragma once

#include <ostream>

#include "framework/qrx_msg.h"
#include "model/Array.h"
#include "model/Message.h"
#include "model/Str.h"

struct HostFailure {
    Str host;
    Message message;    // begins with InstallCatalog 93 (" Host %1$s:")
    Str standardError;  // a remote command's error output, for the report
    int severity = 0;   // 0 standard error only, 1 failure, 2 critical
};

QS_ARRAY_LABEL(HostFailure, "ptArray.HostFailure");

class HostFailures {
  public:
    // Appends m to the host's record (creating it); severity only rises.
    void addFailure(const Str& host, const Message& m, int severity);
    void addFailure(const Str& host, const Message& m) { addFailure(host, m, 1); }
    void addFailureCritical(const Str& host, const Message& m) { addFailure(host, m, 2); }
    // Keeps a command's error output; shown only under a critical record.
    void addStandardError(const Str& host, const Str& text);
    // Names an operation the host did not get because of its failure; the
    // first one under heading 281.
    void addSkipped(const Str& host, const Message& what);

    // Whether anything of the run failed: a record the report shows (a
    // failure or critical failure of some host). This is the one question
    // the exit status and the front ends' last words ask.
    bool anyFailure() const;

    // The report, owned by the caller: heading 92, then every record of severity 1 or 2 in order of
    // first recording, a critical one followed by its standard error (274).
    Message* message() const;
    // The report, one message per line, and a newline.
    void logReasons(std::ostream& out) const;
    // The report as logReasons writes it.
    Str reportText() const;

    // The message list of the host's record, or null.
    QRX_Types_XOpenMessage* host_msg(const Str& host);
    int numFailures() const { return failures.length(); }
    void clear() { failures = Array<HostFailure>(); }

  private:
    int find(const Str& host) const;
    int newRecord(const Str& host);

    Array<HostFailure> failures;
};

extern HostFailures hostFailures;

// Reports one progress step: to the debug log, and as a status line unless
// the install kind is 1.
void milestone(QRX_Types_XOpenMessage* m);

// Raises SysAdminException::ExEntryNotFound for an unusable index file:
// InstallCatalog 149 with the current time as argument 1, the medium's
// name as argument 7 and the file as argument 8 (the numbers its text uses).
[[noreturn]] void throwNoIND(const Str& file);
