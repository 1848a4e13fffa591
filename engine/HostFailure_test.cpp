#include "engine/HostFailure.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/Args.h"
#include "framework/qrx_exception.h"
#include "hosts/Status.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"
#include "tests/test_util.h"

namespace {

Message text(const char* t) {
    Array<Str> a;
    a.put(t);
    return Message("TestCatalog", "%1$s", 1, a);
}

std::string report(const HostFailures& f) {
    std::ostringstream out;
    f.logReasons(out);
    return out.str();
}

TEST(HostFailures, NoRecordsGiveJustANewline) {
    HostFailures f;
    EXPECT_EQ(report(f), "\n");
    EXPECT_EQ(f.numFailures(), 0);
}

TEST(HostFailures, OneBlockPerHostInOrderOfRecording) {
    HostFailures f;
    f.addFailure("tiger", text("  first"));
    f.addFailure("lion", text("  other host"));
    f.addFailure("tiger", text("  second"));
    EXPECT_EQ(f.numFailures(), 2);
    EXPECT_EQ(report(f),
              "The following problems were encountered:\n"
              " Host tiger:\n  first\n  second\n"
              " Host lion:\n  other host\n");
}

TEST(HostFailures, StandardErrorShownOnlyUnderCriticalRecord) {
    struct Case {
        const char* name;
        int severity;  // -1: no failure, only error output
        const char* want;
    } cases[] = {
        {"error output alone is not reported", -1, "\n"},
        {"ordinary failure hides error output", 1,
         "The following problems were encountered:\n Host h:\n  failed\n"},
        {"critical failure shows error output", 2,
         "The following problems were encountered:\n Host h:\n  failed\n"
         "  Standard Error: boom\n"},
    };
    for (const Case& c : cases) {
        HostFailures f;
        f.addStandardError("h", "boom");
        if (c.severity >= 0) f.addFailure("h", text("  failed"), c.severity);
        EXPECT_EQ(report(f), c.want) << c.name;
    }
}

TEST(HostFailures, SeverityNeverDrops) {
    HostFailures f;
    f.addStandardError("h", "err");
    f.addFailureCritical("h", text("  bad"));
    f.addFailure("h", text("  minor"));
    EXPECT_EQ(report(f),
              "The following problems were encountered:\n Host h:\n  bad\n  minor\n"
              "  Standard Error: err\n");
}

TEST(HostFailures, HeadingPrecedesFirstReportedRecord) {
    HostFailures f;
    f.addStandardError("quiet", "noise");
    f.addFailure("loud", text("  problem"));
    EXPECT_EQ(report(f), "The following problems were encountered:\n Host loud:\n  problem\n");
}

TEST(HostFailures, HostMessageAndClear) {
    HostFailures f;
    EXPECT_EQ(f.host_msg("x"), nullptr);
    f.addFailure("x", text("  a"));
    ASSERT_NE(f.host_msg("x"), nullptr);
    EXPECT_EQ(Message(f.host_msg("x"), 0).bound_msg(), " Host x:  a");
    f.clear();
    EXPECT_EQ(f.numFailures(), 0);
}

TEST(HostFailures, RecordingIsTraced) {
    testutil::TempDir dir;
    dbFile.reopen(dir.file("log"));
    HostFailures f;
    f.addFailure("h", text("why"));
    f.addStandardError("h", "stderr text");
    dbFile.reopen(defaultDebugLogPath());
    std::string log = testutil::readFile(dir.file("log"));
    EXPECT_NE(log.find("Adding Failure for host h: why\n"), std::string::npos);
    EXPECT_NE(log.find("Adding standard error for host h: stderr text\n"), std::string::npos);
}

TEST(Milestone, StatusLineUnlessKindOne) {
    static std::string seen;
    seen.clear();
    StatusCallback previous = set_status_callback([](const char* t) { seen += t; });
    int savedKind = argInfo.kind;
    Message m = text("step");
    argInfo.kind = 1;
    milestone(m.qrx_msg());
    EXPECT_EQ(seen, "");
    argInfo.kind = 3;
    milestone(m.qrx_msg());
    EXPECT_EQ(seen, "step");
    argInfo.kind = savedKind;
    set_status_callback(previous);
}

TEST(ThrowNoIND, RaisesEntryNotFoundWithMediumAndFile) {
    Cdrom saved = argInfo.cdrom;
    argInfo.cdrom = Cdrom("tiger", "/cdrom");
    try {
        throwNoIND("QRX");
        FAIL() << "no exception";
    } catch (const SysAdminException::ExEntryNotFound& e) {
        EXPECT_STREQ(e.typeChain(),
                     "Exception:UserException:SysAdminException::ExException:"
                     "SysAdminException::ExInvalid:SysAdminException::ExNotFound:"
                     "SysAdminException::ExEntryNotFound");
        EXPECT_EQ(std::string(e.text()).rfind(
                      "Could not find a valid installation index file (tiger:/cdrom/QRX.IND).", 0),
                  0u)
            << e.text();
    }
    argInfo.cdrom = saved;
}

}  // namespace
