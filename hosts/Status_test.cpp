#include "hosts/Status.h"

#include <gtest/gtest.h>

#include <sstream>

#include "model/Catalog.h"
#include "model/DebugLog.h"
#include "model/Message.h"
#include "tests/test_util.h"

namespace {

TEST(Status, LinesGoToLogAndStream) {
    testutil::TempDir dir;
    dbFile.reopen(dir.file("log"));
    std::ostringstream stream;
    std::ostream* previous = set_status_stream(&stream);
    status("working...");
    statusMessage(catalogMessage(InstallOpsCatalog, 63));
    statusMessage(Message());
    set_status_stream(nullptr);
    status("silent");
    set_status_stream(previous);
    dbFile.reopen(defaultDebugLogPath());
    EXPECT_EQ(stream.str(), "working... Completed.\n\n");
    EXPECT_EQ(testutil::readFile(dir.file("log")),
              "[working...]\n[ Completed.\n\n]\nBad null Message!\n[silent]\n");
}

TEST(Status, CallbackReplacesStream) {
    static std::string seen;
    seen.clear();
    StatusCallback previous = set_status_callback([](const char* t) { seen += t; });
    statusCatalogMessage(10);
    set_status_callback(previous);
    EXPECT_EQ(seen, "waiting for another installation to complete...");
}

}  // namespace
