#include "engine/Recording.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Args.h"
#include "engine/InstalledLocations.h"
#include "hosts/host_test_fixture.h"
#include "model/Cdrom.h"
#include "model/InstallType.h"
#include "model/OperationInfo.h"

namespace {

// The server: keeps the command and the script it was given.
class ServerHost : public InstallHost {
  public:
    ServerHost() : InstallHost("srv", "linux-ix86", "root", "", DEFAULT_ACCESS) {}
    void runCommand(const Str& command, const Str& input, Str& output, Str& errors,
                    InputType type) override {
        commands.push_back(command.str());
        script = input.str();
        inputType = type;
        output = "ignored";
        errors = "ignored";
    }
    std::vector<std::string> commands;
    std::string script;
    InputType inputType = PIPE_INPUT;
};

class RecordingTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        InstallType::data = Array<InstallTypeData>();
        argInfo.index = OperationInfo("", "QRX");
        argInfo.kind = 1;
        clearInstalledLocations();
    }
    void TearDown() override {
        clearInstalledLocations();
        HostTest::TearDown();
    }
    static void setAttrs(const std::string& value) {
        argInfo.config.addData(("generic SetAttrs\n" + value + "%%\n").c_str());
    }
};

const char* kPlaceholders =
    "C[%Catalog%]\nL[%Locations%]\nR[%revision%]\nN[%number_patch_aliases%]\n"
    "P[%patch_aliases%]\nV[%Variables%]";

TEST_F(RecordingTest, EveryPlaceholderIsFilledInItsOrder) {
    // The catalogue is filled first, so a placeholder in it is filled too;
    // the settings come last and keep theirs.
    argInfo.index = OperationInfo(
        "QRX:description:The \"Q\" tools %revision%\n"
        "QRX:revision:2.5\n"
        "QRX:patch_id:P1\n"
        "QRX:patch_id:P2\n",
        "QRX");
    argInfo.config = Configuration("generic Say\nsay \"hi\"\n%Catalog%\n%%\n");
    RegisterInstalled("srv", "/q/bin ", "BIN", "linux-ix86", "d", "installed");
    std::string filled = fillRecordingScript(kPlaceholders).str();
    std::string catalog = argInfo.index.catalog().str();
    ASSERT_EQ(catalog.find("QRX:description:The \"Q\" tools %revision%\n"), 0u) << catalog;
    EXPECT_EQ(filled.find("C[QRX:description:The \\\"Q\\\" tools 2.5\nQRX:revision:2.5\n"), 0u)
        << filled;
    std::string rest = filled.substr(filled.find("]\nL["));
    EXPECT_EQ(rest,
              "]\nL[{ 1 { \"srv\" \"/q/bin \" \"BIN\" \"linux-ix86\" \"d\" \"installed\" } }]\n"
              "R[2.5]\nN[2]\nP[\"P2\" \"P1\" ]\n"
              "V[generic Say\nXsay \\\"hi\\\"\nX%Catalog%\nX%%\nX]");
}

TEST_F(RecordingTest, WithoutPatchesTheCountIsZeroAndTheListEmpty) {
    argInfo.index = OperationInfo("QRX:description:plain\n", "QRX");
    argInfo.config = Configuration("");
    EXPECT_EQ(fillRecordingScript("N[%number_patch_aliases%] P[%patch_aliases%] R[%revision%]"),
              "N[0] P[] R[]");
}

TEST_F(RecordingTest, FilledScriptRunsThroughTheShellOnTheServer) {
    argInfo.index = OperationInfo("QRX:revision:7\n", "QRX");
    argInfo.config.addData("generic Shell\n/bin/bash\n%%\n");
    setAttrs("echo '\"%revision%\"'\n");
    ServerHost server;
    recordInstallation(server);
    EXPECT_EQ(server.commands, std::vector<std::string>{"/bin/bash -x"});
    EXPECT_EQ(server.script, "echo '\"7\"'");
    EXPECT_EQ(server.inputType, InstallHost::STRING_INPUT);
    EXPECT_EQ(shown(),
              (std::vector<std::string>{"Registering installation information...", "Finished.\n"}));
    EXPECT_TRUE(logged("Storing installation attributes."));
}

TEST_F(RecordingTest, BuiltInScriptCarriesTheLocationsAndTheMedium) {
    RegisterInstalled("srv", "/q/bin ", "BIN", "linux-ix86", "d", "installed");
    argInfo.cdrom = Cdrom("mediahost", "/cdrom/qrx");
    ServerHost server;
    recordInstallation(server);
    EXPECT_EQ(server.commands, std::vector<std::string>{"/bin/sh -x"});
    EXPECT_NE(server.script.find("objcall $IO _set_locations << 'EOF'\n"
                                 "{ 1 { \"srv\" \"/q/bin \" \"BIN\" \"linux-ix86\" \"d\" "
                                 "\"installed\" } }\nEOF\n"),
              std::string::npos)
        << server.script;
    EXPECT_NE(server.script.find("objcall $IO _set_revision '\"\"'\n"), std::string::npos);
    // The generic script, with what only the server gives filled in.
    EXPECT_NE(server.script.find("if [ -n \"$IO\" ]; then\n"), std::string::npos);
    EXPECT_NE(
        server.script.find("_set_media << 'EOF'\n{ \"linux-ix86\" \"srv\" \"/cdrom/qrx\" }\nEOF\n"),
        std::string::npos)
        << server.script;
}

TEST_F(RecordingTest, EmptyTemplateSkipsTheWholeStep) {
    setAttrs("");
    ServerHost server;
    recordInstallation(server);
    EXPECT_TRUE(server.commands.empty());
    EXPECT_TRUE(shown().empty());
    EXPECT_FALSE(logged("Storing installation attributes."));
}

}  // namespace
