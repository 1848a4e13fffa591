#include "framework/qrx_objects.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "framework/qrx_exception.h"
#include "tests/test_util.h"

namespace {

std::string portRange() {
    char* text = qrx_objcall(ms_get_local_objsrv(), "cntl", "get_port_range");
    std::string s = text;
    std::free(text);
    return s;
}

TEST(ObjectServer, PortRangeComesFromTheEnvironment) {
    {
        testutil::ScopedEnv range("QRX_PORT_RANGE", "40000-40100");
        EXPECT_EQ(portRange(), "40000-40100");
    }
    testutil::ScopedEnv none("QRX_PORT_RANGE", nullptr);
    EXPECT_EQ(portRange(), "");
}

TEST(ObjectServer, OtherOperationsRaise) {
    const QRX_Object* server = ms_get_local_objsrv();
    try {
        qrx_objcall(server, "cntl", "shutdown");
        FAIL() << "no exception";
    } catch (const QRX_SystemException& e) {
        EXPECT_STREQ(e.text(),
                     "The operation `shutdown' of interface `cntl' is not available on `local'.");
    }
    EXPECT_THROW(qrx_objcall(server, "other", "get_port_range"), QRX_SystemException);
    EXPECT_THROW(qrx_objcall(nullptr, "cntl", "get_port_range"), QRX_SystemException);
}

class Directory : public ::testing::Test {
  protected:
    testutil::TempDir dir_;
    std::string path_ = dir_.write("directory",
                                   "# registry name label\n"
                                   "\n"
                                   "distinguished ServerManagedNode   tiger  \n"
                                   "NetWareManagedSite nw1\n"
                                   "NetWareManagedSite nw2 Site two\n");
    testutil::ScopedEnv env_{"QRX_DIRECTORY", path_.c_str()};
};

TEST_F(Directory, FindsNamedInstancesAndTheirLabels) {
    struct Case {
        const char* registry;
        const char* name;
        const char* label;
    } cases[] = {{"distinguished", "ServerManagedNode", "tiger"},
                 {"NetWareManagedSite", "nw1", "nw1"},
                 {"NetWareManagedSite", "nw2", "Site two"}};
    for (const Case& c : cases) {
        QRX_Object* o = qrx_lookup_instance(c.registry, c.name);
        EXPECT_STREQ(o->label, c.label) << c.name;
        EXPECT_STREQ(o->registry, c.registry);
        EXPECT_STREQ(o->name, c.name);
        qrx_object_release(o);
    }
}

TEST_F(Directory, UnknownInstanceRaisesEntryNotFound) {
    try {
        qrx_lookup_instance("NetWareManagedSite", "nw3");
        FAIL() << "no exception";
    } catch (const SysAdminException::ExEntryNotFound& e) {
        EXPECT_STREQ(e.text(), "The entry `nw3' was not found in `NetWareManagedSite'.");
    }
    EXPECT_THROW(qrx_lookup_instance("distinguished", "nw1"), SysAdminException::ExEntryNotFound);
    EXPECT_THROW(qrx_lookup_instance("#", "registry"), SysAdminException::ExEntryNotFound);
    EXPECT_THROW(qrx_lookup_instance(nullptr, nullptr), SysAdminException::ExEntryNotFound);
}

TEST(DirectoryMissing, NoDirectoryFileFindsNothing) {
    for (const char* value :
         {static_cast<const char*>(nullptr), "", "/nonexistent/qrx-directory"}) {
        testutil::ScopedEnv env("QRX_DIRECTORY", value);
        EXPECT_THROW(qrx_lookup_instance("distinguished", "ServerManagedNode"),
                     SysAdminException::ExEntryNotFound);
    }
}

}  // namespace
