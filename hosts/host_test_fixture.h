// Test fixture of the host-access tests: run settings with the built-in
// configuration, the debug log and the status lines captured, and an empty
// failure report, all restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/FileSystemInfo.h"
#include "engine/HostFailure.h"
#include "hosts/InstallHost.h"
#include "hosts/Status.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"
#include "model/config_data.h"
#include "tests/test_util.h"

class HostTest : public testing::Test {
  protected:
    void SetUp() override {
        savedArgs_ = argInfo;
        savedTypes_ = InstallType::data;
        argInfo.config = Configuration(config_data);
        dbFile.reopen(dir.file("log"));
        statusLines().clear();
        savedCallback_ =
            set_status_callback([](const char* text) { statusLines().push_back(text); });
        hostFailures.clear();
        sshExeSearchFailed = 0;
    }
    void TearDown() override {
        set_status_callback(savedCallback_);
        hostFailures.clear();
        sshExeSearchFailed = 0;
        dbFile.reopen(defaultDebugLogPath());
        InstallType::data = savedTypes_;
        argInfo = savedArgs_;
    }

    // A server run whose product index declares no types yet, for scouting.
    static void startWithEmptyTypeTable() {
        InstallType::data = Array<InstallTypeData>();
        argInfo.index = OperationInfo("", "ZZ");
        argInfo.kind = 1;
        argInfo.probeFileName = "";
    }

    std::string log() const { return testutil::readFile(dir.file("log")); }
    bool logged(const std::string& s) const { return log().find(s) != std::string::npos; }

    // Scouts BIN and LIB under dir on h as the server named server: each
    // type gets its GETFROM line followed by a disk probe that
    // processDfSequence accepts, and no failure is recorded.
    static void expectScoutOfTwoTypes(InstallHost* h, const Str& dir, const Str& server) {
        argInfo.serverName = server;
        for (const char* id : {"BIN", "LIB"}) {
            InstallType t{Str(id)};
            t.entry().path = dir + "/" + id;
            t.entry().enabled = 1;
            t.entry().validFor = BOTH;
        }
        Str scout = h->scoutForInstall();
        for (const char* id : {"BIN", "LIB"}) {
            SCOPED_TRACE(id);
            Str line = "GETFROM:" + h->getName() + ":" + id + "\n";
            int at = scout.index(line);
            ASSERT_GE(at, 0) << scout;
            FileSystemInfo fs;
            EXPECT_EQ(h->processDfSequence(scout.from(at + line.length()), fs, -1), 1) << scout;
            EXPECT_EQ(fs.clientPath, dir + "/" + id);
        }
        EXPECT_EQ(report(), "");
    }

    // The failure report as printed after planning.
    static std::string report() {
        Message* m = hostFailures.message();
        std::string text = m->bound_msg().str();
        delete m;
        return text;
    }

    // Status lines shown, without the "." of each second of waiting.
    static std::vector<std::string> shown() {
        std::vector<std::string> v;
        for (const std::string& s : statusLines())
            if (s != ".") v.push_back(s);
        return v;
    }

    static std::vector<std::string>& statusLines() {
        static std::vector<std::string> lines;
        return lines;
    }

    testutil::TempDir dir;

  private:
    ArgInfo savedArgs_;
    Array<InstallTypeData> savedTypes_;
    StatusCallback savedCallback_ = nullptr;
};
