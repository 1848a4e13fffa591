#include "packaging/packaging_test_util.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace pkgtest {

namespace {

const std::string kMedium = QS_BUILD_DIR "/sample/medium";

// Install type of the sample, its directory under the root, and a file its
// package brings there.
struct SampleType {
    const char* id;
    const char* dir;
    const char* file;
};
const SampleType kTypes[] = {
    {"BIN", "bin", "bin/objcall"},   {"LIB", "lib", "qslib.sh"},      {"ZPIDB", "db", "qrx.conf"},
    {"MAN", "man", "man1/qsstat.1"}, {"APPD", "appd", "QuillStatus"}, {"CAT", "cat", "qsstat.msg"},
};

}  // namespace

std::vector<std::string> expectedFiles() {
    std::vector<std::string> files = {
        "usr/bin/fpack",
        "usr/bin/quillset_cli",
        "usr/libexec/quillset/quillset_cli",
        "usr/libexec/quillset/client_bundle/bin/linux-ix86/fpack",
        "usr/libexec/quillset/BLN/INSTALL/vlk_ssh_askpass.sh",
        "usr/share/quillset/quillset.cfg",
        "usr/share/quillset/nls/en/InstallCatalog.msg",
        "usr/share/quillset/nls/en/InstallCatalog.cat",
        "usr/share/quillset/nls/en/InstallOpsCatalog.msg",
        "usr/share/quillset/nls/en/InstallOpsCatalog.cat",
        "usr/share/man/man1/fpack.1",
        "usr/share/man/man5/fpack-description.5",
        "usr/share/man/man8/quillset_cli.8",
        "usr/share/doc/quillset/README.md",
    };
    if (QS_WITH_GUI) {
        files.insert(files.end(),
                     {"usr/bin/quillset", "usr/libexec/quillset/quillset",
                      "usr/share/man/man8/quillset.8", "etc/X11/app-defaults/Install"});
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string buildPackage(const std::string& dir, std::string& why) {
    testutil::RunResult r = testutil::run(
        {QS_CPACK, "-G", "DEB", "--config", QS_BUILD_DIR "/CPackConfig.cmake", "-B", dir}, "", {},
        600);
    if (r.status != 0) {
        why = "cpack: " + std::to_string(r.status) + "\n" + r.out + r.err;
        return "";
    }
    std::string deb;
    DIR* d = opendir(dir.c_str());
    for (struct dirent* e; d && (e = readdir(d));) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0) {
            if (!deb.empty()) why = "more than one package: " + deb + ", " + name;
            deb = dir + "/" + name;
        }
    }
    if (d) closedir(d);
    if (deb.empty()) why = "cpack made no package:\n" + r.out;
    return why.empty() ? deb : "";
}

testutil::RunResult installSample(const std::string& cli, const std::string& root,
                                  const std::string& log, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {cli};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"-y", "-c", kMedium, "-a", hostName()});
    for (const SampleType& t : kTypes) argv.push_back(std::string(t.id) + "=" + root + "/" + t.dir);
    return testutil::run(argv, "", {"QUILLSET_DEBUG_LOG=" + log}, 300);
}

void expectSampleInstalled(const std::string& root) {
    for (const SampleType& t : kTypes) {
        const std::string file = root + "/" + t.dir + "/" + t.file;
        EXPECT_TRUE(exists(file)) << file;
    }
}

std::string cannotInstallFromTheBuild() {
    if (access(QS_BUILD_DIR, W_OK) == 0) return "";
    return "installing writes into the build tree " QS_BUILD_DIR ", which this account cannot";
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string hostName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

}  // namespace pkgtest
