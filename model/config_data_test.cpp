#include "model/config_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "hosts/InstallHost.h"
#include "model/Configuration.h"
#include "model/DebugLog.h"
#include "tests/test_util.h"

namespace {

using Key = std::pair<std::string, std::string>;  // (id, type)

// Every entry of the built-in text, in the order of the text.
const std::vector<Key> kEntries = {
    {"identity", "generic"},
    {"CannedRN", "generic"},
    {"Shell", "generic"},
    {"Shell", "hpux10"},
    {"Shell", "w32-ix86"},
    {"Shell", "os2-ix86"},
    {"fpengine", "generic"},
    {"fpengine", "w32-ix86"},
    {"fpengine", "os2-ix86"},
    {"unpackOptions", "generic"},
    {"unpackOptions", "u6000_svr4mp"},
    {"gzip", "generic"},
    {"defaultPath", "generic"},
    {"defaultPath", "w32-ix86"},
    {"defaultPath", "os2-ix86"},
    {"mkdirCommand", "generic"},
    {"mkdirCommand", "os2-ix86"},
    {"mkdirCommand", "w32-ix86"},
    {"mkdirCommand", "nextstep3-ix86"},
    {"mkdirCommand", "hpux10"},
    {"uname", "generic"},
    {"dfSequence", "generic"},
    {"dfSequence", "w32-ix86"},
    {"dfSequence", "os2-ix86"},
    {"dfSequence", "nextstep3-ix86"},
    {"dfSequence", "aix4-r1"},
    {"dfSequence", "hpux10"},
    {"dfSequence", "dgux5"},
    {"dfSequence", "mips-irix5"},
    {"dfSequence", "osf-axp"},
    {"tarExtractCommand", "generic"},
    {"tarExtractCommand", "osf-axp"},
    {"tarExtractCommand", "aix4-r1"},
    {"tarExtractCommand", "w32-ix86"},
    {"tarExtractCommand", "os2-ix86"},
    {"nonBuiltinEcho", "generic"},
    {"nonBuiltinEcho", "w32-ix86"},
    {"nonBuiltinEcho", "os2-ix86"},
    {"DevNull", "generic"},
    {"DevNull", "w32-ix86"},
    {"DevNull", "os2-ix86"},
    {"probeForInstall", "generic"},
    {"Env", "generic"},
    {"Env", "w32-ix86"},
    {"Env", "os2-ix86"},
    {"Env", "solaris2"},
    {"Env", "hpux10"},
    {"Env", "aix4-r1"},
    {"SetAttrs", "generic"},
    {"SetAttrs", "linux-ix86"},
    {"SetAttrs", "linux-s390"},
    {"IgnoreFree", "generic"},
    {"TmpDir", "generic"},
    {"TmpDir", "w32-ix86"},
    {"TmpDir", "os2-ix86"},
    {"Cat", "generic"},
    {"Cat", "w32-ix86"},
    {"Cat", "os2-ix86"},
    {"TransferEnvFile", "generic"},
    {"ClientAddNoTrans", "generic"},
    {"FaultIn36b", "generic"},
    {"RegionNumber", "generic"},
    {"FilePackPathPrefix", "generic"},
    {"FilePackPathPrefix", "win95"},
    {"FilePackPathPrefix", "nt"},
    {"FilePackPathPrefix", "netware"},
    {"FilePackPathPrefix", "dos"},
    {"FilePackPathPrefix", "windows"},
    {"FilePackPathPrefix", "os2"},
    {"FPPrefix", "generic"},
    {"FPUpgradePrefix", "generic"},
    {"WispClientDrivePath", "generic"},
    {"WispShareName", "generic"},
    {"WispPath", "w32-ix86"},
    {"ConfigureOS", "w32-ix86"},
    {"ConfigureOS", "os2-ix86"},
    {"DefaultDosDrive", "os2-ix86"},
    {"DontAskBeforeReboot", "generic"},
    {"RebootCommand", "generic"},
    {"ForceBind", "generic"},
};

const char kIdentity[] = R"(aix4-r1=^AIX .*
hpux10=^HP-UX.*[A-Z]\.1[0-9]\.[0-9][0-9] [A-Z] 9000/
solaris2=^SunOS [-A-Za-z0-9_+.]+ 5[.]
sysv4-att=.* 386/486/MC
dgux5=^dgux
sysv4-m88k=^.* m88k
uw2-ix86=^.* 4[.]2MP 2[.]0.* i386.*
osf-axp=^OSF1.*V[23][.][0-9].* alpha
mips-irix5=^IRIX .* 5.* mips
nextstep3-ix86=.*NeXT.*
u6000_svr4mp=.* 4.0 2
w32-ix86=^Windows_NT
os2-ix86=^OS\/2
linux-ix86=^Linux.* i[3-6]86 .*
linux-ix86=^Linux.* x86_64 .*
linux-s390=^Linux.* s390.*)";

const char kHpuxMkdir[] =
    R"x((d=`expr $MDIR : "\\(/\\)"`;if [ "$d" = 0 ];then d="";fi;IFS=/;set $MDIR;for i do d="$d$i";if [ -n "$d" -a ! -d "$d" ];then mkdir "$d";fi;d="$d/";done))x";

const char kW32Mkdir[] =
    "mkdir -p \"$MDIR\"; MDIR=`slash echo \"$MDIR\"`; echo Y | cacls \"$MDIR\" /G "
    "Administrators:F Everyone:R >&2";

const char kGenericDf[] = R"(RWD=`/bin/pwd`
echo `df -k . | tail +2` | (read a b c d e f; echo "DF_DATA#$RWD#$a#$d:1k#$f"))";

const char kW32Df[] = R"(echo "DF_DATA#$ADP#$ADP#`dskfree -q -t .`:1k#$ADP")";

const char kHpuxDf[] = R"x(RWD=`/bin/pwd`
echo `bdf . | tail +2` | if read a b c d e f; then
  if [ "$a" = "AFS" ]; then
    echo "DF_DATA#$RWD#$a#$b:1k#$f"
  else
    dd=`df -f $f | awk '{ if ($3 == "):") print $4; else print $3; }'`
    echo "DF_DATA#$RWD#$a#$dd:1k#$f"
  fi
else
  echo "DF_DATA#FAILED"
fi)x";

const char kProbe[] = R"x({
qs_make() {
  qs_d=$1
  while [ ! -d "$qs_d" -a ! -f "$qs_d" -a ! -h "$qs_d" ]; do
    echo "MADE:$T:$qs_d"
    qs_d=`dirname "$qs_d"`
  done
  MDIR=$1;@mkdirCommand@
}
while read T RD AD IF; do
  if [ ! -d "$RD" -a "@CreatePaths@" = "0" ]; then
    echo "CREATE_FAILURE:$T"
  elif [ ! -d "$RD" ]; then
    qs_make "$RD"
    if [ ! -d "$RD" ]; then
       echo "READONLY:$T"
    fi
  fi
  if [ -d "$RD" ]; then
    ADP=$RD
    if [ "$AD" != EMPTY ]; then
      ADP=$RD/$AD
      if [ ! -d "$ADP" ]; then
        (cd "$RD";qs_make "$ADP")
      fi
    fi
    if [ ! -d "$ADP" ]; then
      echo "READONLY:$T"
    elif [ -r "$ADP/$IF" ]; then
      IPF="$ADP/.installed/$PFN$T"
      if [ -f "$IPF" ]; then
        cat "$IPF"
      else
        echo "INSTALLED:$T"
      fi
    else
      PF="$ADP/$PFN$T"
      PC=
      if [ -f "$PF" ]; then PC=`sed -n 1p "$PF"`; fi
      if [ ! -f "$PF" ] || expr "x$PC" : '.*:\('"$HN"'\)$' >@DevNull@; then
        if @nonBuiltinEcho@ "GETFROM:$HN">"$PF"; then
          echo "GETFROM:$HN:$T"
          cd "$ADP"
          @dfSequence@
        else
          echo "READONLY:$T"
        fi
      else
        echo "$PC:$T"
      fi
    fi
  fi
done
})x";

const char kSetAttrs[] = R"x(BINP=@BIN@/bin;
@Env@
DBD=@ZPIDB@
BASE=0.0.0
IO=`objlookup Installation`
if [ -n "$IO" ]; then
    objcall $IO _set_revision '"%revision%"'
    objcall $IO _set_patches '{0}'
    objcall $IO _set_media << 'EOF'
{ "@Arch@" "@HostName@" "@CDROM@" }
EOF
    (sed 's/^X//' | objcall $IO _set_data) << 'EOF'
{ "
%Variables%
" }
EOF
    objcall $IO _set_catalog << 'EOF'
"%Catalog%"
EOF
    objcall $IO _set_locations << 'EOF'
%Locations%
EOF
KNR=`objlookup NameRegistry`
objcall $KNR set_values '"distinguished" { 1 { '$IO' "Installation" {{ QRX_Types::_sequence_string_StringList } { %number_patch_aliases% %patch_aliases% }}}}'
    #objcall $IO install_information
fi
echo "Finished registering install information.")x";

const char kGuard[] = "if [ -n \"$IO\" ]; then";

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += (out.empty() ? "" : "\n") + line;
    return out;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
        text.replace(p, from.size(), to);
    return text;
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class BuiltInConfiguration : public ::testing::Test {
  protected:
    // The stored value of exactly (type, id), untranslated.
    std::string raw(const char* type, const char* id) const {
        int index = 0, genericIndex = 0;
        if (!cfg.locate(type, id, index, genericIndex)) {
            ADD_FAILURE() << "no entry " << type << " " << id;
            return std::string();
        }
        return cfg.items()[index].value.str();
    }
    std::string value(const InstallHost* host, const char* id) const {
        return cfg.lookup(host, id).value.str();
    }

    Configuration cfg{config_data};
};

TEST(ConfigData, TenStringsThenNull) {
    for (int i = 0; i < 10; ++i) EXPECT_NE(config_data[i], nullptr) << i;
    EXPECT_EQ(config_data[10], nullptr);
}

TEST(ConfigData, JoinedTextStartsWithTheIdentityCommentAndEndsWithTheCloser) {
    std::string text;
    for (char** p = config_data; *p; ++p) text += *p;
    const std::string first =
        "# machine type specifier matched through regex from output of uname -attr\n";
    const std::string last = "\n%% this must be here!!!\n";
    EXPECT_EQ(text.compare(0, first.size(), first), 0);
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

// Every entry is stored once, none is rejected or replaced: no stray "%%"
// line before the first entry and no duplicate (type, id) in the text.
TEST(ConfigData, ParsesWithoutInvalidOrRepeatedEntries) {
    struct Restore {
        ~Restore() { dbFile.reopen(defaultDebugLogPath()); }
    } restore;
    testutil::TempDir dir;
    std::string log = dir.file("log");
    ASSERT_TRUE(dbFile.reopen(log));
    Configuration cfg(config_data);
    dbFile.flush();
    std::string text = testutil::readFile(log);
    EXPECT_EQ(occurrences(text, "New configuration item: type="), 80);
    EXPECT_EQ(occurrences(text, "Invalid configuration entry"), 0);
    EXPECT_EQ(occurrences(text, "replacing ci"), 0);
    EXPECT_EQ(cfg.sources(), "+(StrList)");
}

TEST_F(BuiltInConfiguration, HoldsExactlyTheEightyEntries) {
    const Array<ConfigurationItem>& items = cfg.items();
    ASSERT_EQ(items.length(), 80);
    std::vector<Key> stored;
    for (int i = 0; i < items.length(); ++i)
        stored.emplace_back(items[i].id.str(), items[i].type.str());
    EXPECT_EQ(std::set<Key>(stored.begin(), stored.end()),
              std::set<Key>(kEntries.begin(), kEntries.end()));

    // Database order: by id, the "generic" entry first, then by type.
    std::vector<Key> sorted = kEntries;
    std::sort(sorted.begin(), sorted.end(), [](const Key& a, const Key& b) {
        if (a.first != b.first) return a.first < b.first;
        if ((a.second == "generic") != (b.second == "generic")) return a.second == "generic";
        return a.second < b.second;
    });
    EXPECT_EQ(stored, sorted);
}

TEST_F(BuiltInConfiguration, ValuesAreExact) {
    struct Case {
        const char* type;
        const char* id;
        const char* value;
    };
    const Case cases[] = {
        {"generic", "identity", kIdentity},
        {"hpux10", "mkdirCommand", kHpuxMkdir},
        {"w32-ix86", "mkdirCommand", kW32Mkdir},
        {"generic", "dfSequence", kGenericDf},
        {"hpux10", "dfSequence", kHpuxDf},
        {"os2-ix86", "tarExtractCommand", "dd obs=20b | tar -xf  -"},
        {"generic", "probeForInstall", kProbe},
        {"generic", "SetAttrs", kSetAttrs},
        {"generic", "uname", "uname -a || /usr/bin/hostinfo || echo FAILED"},
        {"generic", "RebootCommand",
         "reboot -y -g 30 -m \"`catmsg InstallCatalog 183 \"Reboot needed to complete Velkar "
         "Installation.\"`\""},
        {"w32-ix86", "WispPath", "@WispClientDrivePath@Velkar/wisp:@BIN@/tools:@BIN@/bin:"},
        {"w32-ix86", "ConfigureOS",
         "cd @DB@\n[ -d tmp ] || mkdir tmp\n[ -d file_versions ] || mkdir file_versions\nwinprep"},
        {"u6000_svr4mp", "unpackOptions", "-u -F"},
        {"generic", "gzip", ""},
        {"os2-ix86", "DefaultDosDrive", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(raw(c.type, c.id), c.value) << c.type << " " << c.id;
}

TEST_F(BuiltInConfiguration, IdentityTableHasSixteenLines) {
    EXPECT_EQ(splitLines(raw("generic", "identity")).size(), 16u);
}

// The first identity line whose expression matches a uname output names the
// host's type; the expressions must compile and pick the intended type.
TEST_F(BuiltInConfiguration, IdentityExpressionsRecogniseTypicalUnameOutputs) {
    std::vector<std::pair<std::string, std::string>> table;  // type, expression
    for (const std::string& line : splitLines(raw("generic", "identity"))) {
        size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        table.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    auto identify = [&table](const std::string& uname) {
        for (const auto& entry : table) {
            Regex re(entry.second.c_str());
            EXPECT_TRUE(re.ok()) << entry.second;
            int len = 0;
            if (re.search(uname, 0, len) >= 0) return entry.first;
        }
        return std::string();
    };
    const std::pair<const char*, const char*> cases[] = {
        {"AIX hostname 3 4 000012345600", "aix4-r1"},
        {"HP-UX hostname B.10.20 A 9000/785 2012345678 two-user license", "hpux10"},
        {"SunOS hostname 5.8 Generic_108528-13 sparc", "solaris2"},
        {"dgux hostname 5.4R3.10 generic m88k", "dgux5"},  // before sysv4-m88k
        {"UNIX_SV hostname 4.2MP 2.03 i386 x86at", "uw2-ix86"},
        {"OSF1 hostname V3.2 214 alpha", "osf-axp"},
        {"IRIX hostname 5.3 11091812 IP22 mips", "mips-irix5"},
        {"Windows_NT HOSTNAME 4 00 586", "w32-ix86"},
        {"OS/2 hostname 2 4 i386", "os2-ix86"},
        {"Linux hostname 2.4.21 #1 Mon Mar 3 12:00:00 UTC 2003 i686 unknown", "linux-ix86"},
        {"Linux hostname 2.6.32 #1 SMP Tue Jun 1 12:00:00 UTC 2010 x86_64 unknown", "linux-ix86"},
        {"Linux hostname 2.6.5 #1 SMP Tue Jun 1 12:00:00 UTC 2004 s390x unknown", "linux-s390"},
        {"Other hostname 1.0 unknown", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(identify(c.first), c.second) << c.first;
}

// The Linux scripts run without the guard on the installation object and
// without recording locations; otherwise they are the generic script.
TEST_F(BuiltInConfiguration, LinuxSetAttrsDropGuardAndLocations) {
    std::string generic = raw("generic", "SetAttrs");
    EXPECT_NE(generic.find(kGuard), std::string::npos);
    EXPECT_NE(generic.find("_set_locations"), std::string::npos);

    std::vector<std::string> lines = splitLines(generic);
    auto guard = std::find(lines.begin(), lines.end(), kGuard);
    ASSERT_NE(guard, lines.end());
    lines.erase(guard);
    auto closing = std::find(lines.rbegin(), lines.rend(), "fi");
    ASSERT_NE(closing, lines.rend());
    lines.erase(std::next(closing).base());
    auto locations = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("_set_locations") != std::string::npos;
    });
    ASSERT_GE(std::distance(locations, lines.end()), 3);
    lines.erase(locations, locations + 3);
    const std::string expected = joinLines(lines);

    for (const char* type : {"linux-ix86", "linux-s390"}) {
        std::string script = raw(type, "SetAttrs");
        EXPECT_EQ(script.find(kGuard), std::string::npos) << type;
        EXPECT_EQ(script.find("_set_locations"), std::string::npos) << type;
        EXPECT_EQ(script, expected) << type;
    }
}

TEST_F(BuiltInConfiguration, SolarisHostGetsGenericShellButItsOwnEnv) {
    InstallHost solaris("sunhost", "solaris2", "", "", DEFAULT_ACCESS);
    InstallHost other("uwhost", "uw2-ix86", "", "", DEFAULT_ACCESS);
    EXPECT_EQ(value(&solaris, "Shell"), "/bin/sh");
    EXPECT_EQ(cfg.lookup(&solaris, "Env").type, "solaris2");
    EXPECT_NE(value(&solaris, "Env").find("LD_LIBRARY_PATH=$LIBDIR:/usr/openwin/lib:"),
              std::string::npos);
    EXPECT_EQ(value(&other, "Env").find("/usr/openwin/lib"), std::string::npos);
}

// A type named only in the identity table translates every name exactly as
// a host with no type of its own would.
TEST_F(BuiltInConfiguration, Uw2HostGetsOnlyGenericEntries) {
    InstallHost uw2("somehost", "uw2-ix86", "", "", DEFAULT_ACCESS);
    InstallHost plain("somehost", "generic", "", "", DEFAULT_ACCESS);
    for (const Key& key : kEntries) {
        int index = 0, genericIndex = 0;
        EXPECT_EQ(cfg.locate("uw2-ix86", key.first.c_str(), index, genericIndex), 0);
        if (key.first == "SetAttrs") continue;  // names @Arch@, which differs by design
        EXPECT_EQ(value(&uw2, key.first.c_str()), value(&plain, key.first.c_str())) << key.first;
    }
    EXPECT_EQ(value(&uw2, "Shell"), "/bin/sh");
    EXPECT_EQ(value(&uw2, "mkdirCommand"), "/bin/mkdir -p \"$MDIR\"");
    EXPECT_EQ(value(&uw2, "dfSequence"), kGenericDf);
    EXPECT_EQ(value(&uw2, "unpackOptions"), "-u");
}

TEST_F(BuiltInConfiguration, W32ScoutScriptBringsInItsOwnCommands) {
    InstallHost w32("pc", "w32-ix86", "", "", DEFAULT_ACCESS);
    std::string expected = kProbe;
    expected = replaceAll(expected, "@CreatePaths@", "");
    expected = replaceAll(expected, "@mkdirCommand@", kW32Mkdir);
    expected = replaceAll(expected, "@DevNull@", "nul");
    expected = replaceAll(expected, "@nonBuiltinEcho@", "echo");
    expected = replaceAll(expected, "@dfSequence@", kW32Df);
    EXPECT_EQ(value(&w32, "probeForInstall"), expected);
}

TEST_F(BuiltInConfiguration, LaterFileOverridesGenericShellOnly) {
    testutil::TempDir dir;
    std::string file = dir.write("site.cfg", "generic Shell\n/bin/ksh\n%%\n");
    cfg.addFile(file);
    EXPECT_EQ(cfg.sources(), "+(StrList)+" + file);
    EXPECT_EQ(cfg.items().length(), 80);

    const std::pair<const char*, const char*> cases[] = {
        {"solaris2", "/bin/ksh"},  {"uw2-ix86", "/bin/ksh"}, {"linux-ix86", "/bin/ksh"},
        {"hpux10", "/usr/bin/sh"}, {"w32-ix86", "sh"},       {"os2-ix86", "sh"},
    };
    for (const auto& c : cases) {
        InstallHost host("h", c.first, "", "", DEFAULT_ACCESS);
        EXPECT_EQ(value(&host, "Shell"), c.second) << c.first;
    }
    EXPECT_EQ(value(nullptr, "Shell"), "/bin/ksh");
}

}  // namespace
