#include "engine/HostFailure.h"

#include <cstdlib>
#include <ctime>

#include "engine/Args.h"
#include "framework/qrx_exception.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

HostFailures hostFailures;

namespace {

Array<Str> args(std::initializer_list<Str> values) {
    Array<Str> a;
    for (const Str& v : values) a.put(v);
    return a;
}

}  // namespace

int HostFailures::find(const Str& host) const {
    for (int i = 0; i < failures.length(); ++i)
        if (failures[i].host == host) return i;
    return -1;
}

int HostFailures::newRecord(const Str& host) {
    HostFailure f;
    f.host = host;
    f.message = catalogMessage(InstallCatalog, 93, args({host}));
    failures.put(f);
    return failures.length() - 1;
}

void HostFailures::addFailure(const Str& host, const Message& m, int severity) {
    dbFile << "Adding Failure for host " << host << ": " << m << std::endl;
    int i = find(host);
    if (i < 0) {
        i = newRecord(host);
        failures[i].severity = severity;
    } else if (severity > failures[i].severity) {
        failures[i].severity = severity;
    }
    failures[i].message.add_msg(m);
}

void HostFailures::addStandardError(const Str& host, const Str& text) {
    dbFile << "Adding standard error for host " << host << ": " << text << std::endl;
    int i = find(host);
    if (i < 0) i = newRecord(host);
    failures[i].standardError = text;
}

void HostFailures::addSkipped(const Str& host, const Message& what) {
    if (!qrx_msg_find(host_msg(host), InstallCatalog.name, 281))
        addFailure(host, catalogMessage(InstallCatalog, 281));
    addFailure(host, what);
}

bool HostFailures::anyFailure() const {
    for (int i = 0; i < failures.length(); ++i)
        if (failures[i].severity > 0) return true;
    return false;
}

Message* HostFailures::message() const {
    Message* report = new Message();
    bool headed = false;
    for (int i = 0; i < failures.length(); ++i) {
        const HostFailure& f = failures[i];
        if (f.severity == 0) continue;
        // The heading stands before the first reported record, even when
        // an earlier host only left error output.
        if (!headed) report->add_msg(catalogMessage(InstallCatalog, 92));
        headed = true;
        report->add_msg(f.message);
        if (f.severity == 2 && !f.standardError.empty())
            report->add_msg(catalogMessage(InstallCatalog, 274, args({f.standardError})));
    }
    return report;
}

void HostFailures::logReasons(std::ostream& out) const {
    out << reportText() << std::endl;
}

Str HostFailures::reportText() const {
    Message* report = message();
    char* text = qrx_msg_bind(report->qrx_msg(), "\n", 0);
    Str result(text);
    free(text);
    delete report;
    return result;
}

QRX_Types_XOpenMessage* HostFailures::host_msg(const Str& host) {
    int i = find(host);
    return i < 0 ? nullptr : failures[i].message.qrx_msg();
}

void milestone(QRX_Types_XOpenMessage* m) {
    try {
        char* text = qrx_msg_bind(m, nullptr, 0);
        dbFile << "Milestone: " << (text ? text : "") << std::endl;
        if (argInfo.kind != 1 && text) status(text);
        free(text);
    } catch (const QRX_Exception& e) {
        dbFile << "milestone exception: " << e.text() << std::endl;
    }
}

void throwNoIND(const Str& file) {
    time_t now = time(nullptr);
    char stamp[64] = "";
    struct tm tmNow;
    if (localtime_r(&now, &tmNow)) strftime(stamp, sizeof stamp, "%c", &tmNow);
    Message m = catalogMessage(InstallCatalog, 149,
                               args({stamp, "", "", "", "", "", argInfo.cdrom.name(), file}));
    dbFile << "the passed index file " << file << " is invalid." << std::endl;
    throw SysAdminException::ExEntryNotFound(qrx_msg_copy(m.qrx_msg()));
}
