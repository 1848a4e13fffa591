// What the installation and package tests share: the files an installation
// holds, building the package, and installing the sample medium with an
// installed quillset_cli.
#pragma once

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace pkgtest {

// The files and links an installation with the prefix /usr holds, relative
// to the root of the installation ("usr/bin/fpack", ...), sorted.
std::vector<std::string> expectedFiles();

// Builds the Debian package of the build tree into dir; returns its path,
// or "" with the reason in why.
std::string buildPackage(const std::string& dir, std::string& why);

// Runs the quillset_cli at cli on the sample medium onto this machine with
// -y, every install type in its own directory under root, the debug log
// at log; extra options go before the words.
testutil::RunResult installSample(const std::string& cli, const std::string& root,
                                  const std::string& log,
                                  const std::vector<std::string>& extra = {});
// The files that install put under root are there (gtest expectations).
void expectSampleInstalled(const std::string& root);

// Why this account cannot install from the build tree ("" when it can):
// cmake --install and cpack write into the tree (install_manifest.txt, the
// preinstall step), which only its owner may.
std::string cannotInstallFromTheBuild();

bool exists(const std::string& path);
std::string hostName();

}  // namespace pkgtest
