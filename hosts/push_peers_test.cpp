// A push whose medium lives on a third host: the block is read there over
// the secure shell and streamed into the engine on the target, here the
// local host.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/HostGroup.h"
#include "engine/InstalledLocations.h"
#include "hosts/host_test_fixture.h"
#include "model/Cdrom.h"
#include "tests/sshd_peer.h"

namespace {

const std::string kMedium = QS_BUILD_DIR "/sample/medium";

TEST_F(HostTest, PushStreamsTheImageFromTheMediaHost) {
    testutil::SshdPeer peer;
    ASSERT_TRUE(peer.ready()) << peer.error();
    testutil::ScopedEnv ssh("SSH", peer.sshProgram().c_str());
    startWithEmptyTypeTable();
    argInfo.probeFileName = "QRX_";
    argInfo.useSsh = 1;
    clearInstalledLocations();
    ASSERT_EQ(
        argInfo.cdrom.reset(Str(peer.address().c_str()) + ":" + kMedium.c_str(), PHASE_SERVER), 1)
        << log() << peer.log();

    InstallType t{Str("LIB")};
    std::string lib = dir.file("lib");
    t.entry().path = lib.c_str();
    t.entry().enabled = 1;
    t.entry().validFor = BOTH;
    Str fields[kIndexFields] = {"QRX", "fp", "LIB", "generic", "", "4", "2"};
    InstallOperation op;
    op.kind = PUSH_FILEPACK;
    op.type = t;
    op.host = localName();
    op.hostType = "linux-ix86";
    op.filePack = FilePack("", fields);
    op.fs.client = localName();
    op.fs.clientPath = lib.c_str();
    ASSERT_EQ(testutil::run({"mkdir", lib}).status, 0);

    InstallHost target(localName().chars(), "linux-ix86", "root", "", TRUSTED_HOST);
    EXPECT_EQ(target.pushFilePack(op), 1) << log();
    EXPECT_EQ(testutil::readFile(lib + "/qslib.sh"),
              testutil::readFile(QS_SOURCE_DIR "/sample/payload/lib/qslib.sh"));
    EXPECT_EQ(testutil::readFile(lib + "/.installed/QRX_LIB"),
              "PUSHED:" + localName().str() + ":LIB\n");
    EXPECT_TRUE(logged("FN='" + kMedium + "/FILE2.PKT'; if [ -f \"$FN\" ]")) << log();
    EXPECT_TRUE(logged("/bin/linux-ix86/fpack -u -;")) << log();
    EXPECT_FALSE(logged("optimized.  Remote media is same as push target."));
    EXPECT_EQ(installedLocationCount(), 1);
    clearInstalledLocations();
    argInfo.cdrom = Cdrom();
}

}  // namespace
