#include "engine/Args.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/HostFailure.h"
#include "engine/server_cli.h"
#include "framework/bln_cipher.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"
#include "model/config_data.h"

ArgInfo argInfo;

const OperationInfo& runIndex() {
    switch (argInfo.kind) {
        case 3:
            return argInfo.productIndex;
        case 4:
            return argInfo.patchIndex;
        default:
            return argInfo.index;
    }
}

namespace {

const char* const kGeneric = "generic";
const int kNewArgMax = 100;
// The index read from the medium when -i names none (the platform tag).
const char* const kDefaultIndex = "QRX";

[[noreturn]] void unreadableVariableFile(const char* file) {
    struct stat st;
    const char* why = "it cannot be read";
    if (stat(file, &st) != 0 || access(file, R_OK) != 0)
        why = std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "it is a directory";
    std::fprintf(stderr, "Error: cannot read the variable file `%s': %s.\n", file, why);
    std::exit(2);
}

// Lines of the configuration texts read so far that were cut.
void reportConfigurationWarnings() {
    const Array<Str>& warnings = argInfo.config.warnings();
    for (int i = 0; i < warnings.length(); ++i)
        std::fprintf(stderr, "Warning: %s\n", warnings[i].chars());
}

Str lastComponent(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? Str(slash + 1) : Str(path);
}

// Values longer than 11 characters are taken to be in the framework's
// enciphered form.
Str deciphered(const Str& value) {
    if (value.length() <= 11) return value;
    char* clear = bln_decrypt(value);
    Str out(clear);
    free(clear);
    return out;
}

// "file[:extra]": the file is the text before the first ':' only when
// there is a non-empty extra text after it.
void splitIndexSpec(const Str& spec, Str& file, Str& extra) {
    extra = spec.contains(':') ? spec.after(':') : Str();
    file = extra.empty() ? spec : spec.before(':');
}

// A "@key@" setting; false when key is not one of the run settings (it is
// then an ordinary configuration entry).
bool applyRunSetting(const Str& key, const Str& value) {
    if (key == "DefaultUser") {
        argInfo.defaultUser = value;
        dbFile << "Setting default user to: " << value << std::endl;
    } else if (key == "ZapUser") {
        argInfo.zapUser = value;
        dbFile << "Setting zap user to: " << value << std::endl;
    } else if (key == "ZapPassword") {
        dbFile << "Setting zap password" << std::endl;
        argInfo.zapPassword = deciphered(value);
    } else if (key == "RP") {
        argInfo.rootPassword = deciphered(value);
    } else if (key == "IP") {
        argInfo.installPassword = shellEscaped(deciphered(value));
    } else if (key == "UseSSH" && value == "1") {
        argInfo.useSsh = 1;
    } else {
        return false;
    }
    return true;
}

// Passwords kept in a private configuration file (-z; -Z file of the
// window front end) instead of words, which every user of the machine can
// read in the process list: an entry named like a password setting gives
// that setting unless the prompt or a word gave it, and leaves the
// configuration, so that no command, log line or recorded attribute holds
// it.
void takePasswordsFromConfiguration() {
    const struct {
        const char* key;
        const Str& setting;
    } passwords[] = {{"RP", argInfo.rootPassword},
                     {"IP", argInfo.installPassword},
                     {"ZapPassword", argInfo.zapPassword}};
    for (const auto& p : passwords) {
        Str value;
        if (argInfo.config.take(kGeneric, p.key, value) && p.setting.empty())
            applyRunSetting(p.key, value);
    }
}

void applySetting(const Str& key, const Str& value) {
    if (applyRunSetting(key, value)) return;
    dbFile << "Setting " << key << " to " << value << std::endl;
    argInfo.config.define(kGeneric, key, value);
}

// The install types the index declares, as the administrator may name them.
Str knownTypes() {
    Str names;
    for (int i = 0; i < InstallType::data.length(); ++i) {
        const InstallTypeData& d = InstallType::data[i];
        if (d.label.empty() || d.validFor == INVALID) continue;
        names += (names.empty() ? "" : ", ") + d.id;
    }
    return names;
}

// A word for a type the index does not have would otherwise bring a new
// type into the table and be lost there.
void unknownTypeWord(const Str& name, const Str& word) {
    dbFile << "No install type " << name << ": " << word << " ignored." << std::endl;
    // Without a valid index the run ends on that error anyway.
    if (!runIndex().IsValid()) return;
    std::fprintf(stderr,
                 "Warning: `%s' is not an install type of the index; `%s' is ignored.  Known "
                 "types: %s.\n",
                 name.chars(), word.chars(), knownTypes().chars());
}

void applyTypePath(const Str& name, const Str& value) {
    bool serverName = argInfo.kind == 1 && name == "ZPI_NAME";
    if (serverName) {
        argInfo.serverName = value;
        dbFile << "Setting zpi name to " << value << std::endl;
    }
    if (InstallType::id(name) < 0) {
        if (!serverName) unknownTypeWord(name, name + "=" + value);
        return;
    }
    InstallType type(name);
    type.setPath(value);
    if (value == "FALSE" || value == "False") {
        type.setPath("0");
        if (type.valid()) type.entry().enabled = 0;
    } else if (value == "TRUE" || value == "True") {
        type.setPath("1");
    }
}

}  // namespace

Str hostWordName(const Str& word) {
    return word.contains(',') ? word.before(',') : word;
}

namespace {

void applyWord(const Str& word) {
    int eq = word.index('=');
    if (eq > 0) {
        Str name = word.before(eq);
        Str value = word.after(eq);
        int n = name.length();
        if (n >= 2 && name[0] == '@' && name[n - 1] == '@')
            applySetting(name.at(1, n - 2), value);
        else
            applyTypePath(name, value);
        return;
    }
    if (word.empty()) return;
    argInfo.hosts.put(word);
    dbFile << "Adding `" << hostWordName(word) << "' to the install host list." << std::endl;
}

void applyDefaultPaths() {
    for (int i = 0; i < InstallType::data.length(); ++i) {
        InstallTypeData& d = InstallType::data[i];
        if (d.validFor == CLIENT || !d.path.empty() || d.defaultPath.empty()) continue;
        InstallType type(i);
        type.setPath(d.defaultPath);
        dbFile << "server set default for " << type << std::endl;
    }
}

void applyPrefix(Str prefix) {
    bool baseName = prefix[prefix.length() - 1] == '!';
    if (baseName) prefix = prefix.before(prefix.length() - 1);
    for (int i = 0; i < InstallType::data.length(); ++i) {
        Str path = InstallType::data[i].path;
        if (path.empty() || path[0] != '/' || path.index(prefix) == 0) continue;
        if (baseName) path = BaseName(path);
        InstallType type(i);
        type.setPath(path[0] == '/' ? prefix + path : prefix + "/" + path);
        dbFile << "server set prefix for " << type << std::endl;
    }
}

// The -z file replaces the whole configuration: one that cannot be read
// would leave the run without any.
Configuration variableFile(const char* file) {
    Configuration config;
    if (!config.addFile(file)) unreadableVariableFile(file);
    return config;
}

[[noreturn]] void usageError(const char* text) {
    std::fputs(text, stderr);
    serverCliUsage();
}
// Option reading starts again at argv[1]. glibc forgets an earlier scan
// (and its permutation of the words) only when optind is 0.
void restartOptions() {
#ifdef __GLIBC__
    optind = 0;
#else
    optind = 1;
#endif
    opterr = 0;  // the installer writes its own texts
}

char* newText(const Str& text) {
    char* out = new char[text.length() + 1];
    std::memcpy(out, text.chars(), size_t(text.length()) + 1);
    return out;
}

// The argument vector of the window front end; entries beyond its room are
// dropped rather than written past its end.
class NewArgs {
  public:
    explicit NewArgs(const Str& first) : argv_(new char*[kNewArgMax]()) { add(newText(first)); }
    void add(char* entry) {
        if (count_ < kNewArgMax - 1)
            argv_[count_++] = entry;
        else if (entry)
            delete[] entry;
    }
    // entry goes through the install type filling; the result is kept.
    void addOption(const Str& entry, const Str& prefix) {
        char* text = newText(entry);
        char* filled = fillInOption(text, prefix);
        if (filled != text) delete[] text;
        add(filled);
    }
    char** release(int* count) {
        *count = count_;
        return argv_;
    }

  private:
    char** argv_;
    int count_ = 0;
};

const OperationInfo* indexOfKind(int kind) {
    switch (kind) {
        case 1:
        case 2:
            return &argInfo.index;
        case 3:
            return &argInfo.productIndex;
        case 4:
            return &argInfo.patchIndex;
        default:
            dbFile << "bad phase!" << std::endl;
            return nullptr;
    }
}

bool pcProductInstall() {
    return argInfo.kind == 3 && argInfo.productIndex.pcInstall();
}

// The seed file's newline-terminated lines as option entries.
void addSeedFile(NewArgs& args, const Str& file, const Str& prefix) {
    dbFile << "reading seed file " << file << std::endl;
    std::ifstream in(file.chars());
    if (!in) {
        dbFile << "can't read seed file " << file << std::endl;
        std::fprintf(stderr, "can't read -A args file `%s'\n", file.chars());
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (pcProductInstall()) args.add(newText("-P"));
    std::string all = text.str();
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
        args.addOption(all.substr(start, nl - start), prefix);
}

// One entry per GUI item of the run's phase.
void addGuiItems(NewArgs& args, const Str& prefix) {
    const OperationInfo* index = indexOfKind(argInfo.kind);
    if (pcProductInstall()) args.add(newText("-P"));
    if (!index) return;
    const Array<GuiItem>& items = index->guiItems();
    for (int i = 0; i < items.length(); ++i) {
        const GuiItem& item = items[i];
        if (item.phase() != argInfo.kind) continue;
        Str entry = Str("-") + item.letter();
        if (item.letter() == 'N') {
            args.add(newText(entry));
            continue;
        }
        entry += InstallType(item.installType()).entry().id;
        if (!item.value().empty()) entry += ":" + item.value();
        args.addOption(entry, prefix);
    }
}

void readSecondIndex(const Str& spec) {
    Str file, extra;
    splitIndexSpec(spec, file, extra);
    OperationInfo index(file);
    if (!index.IsValid()) throwNoIND(file);
    if (argInfo.kind == 3) argInfo.productIndex = index;
    if (argInfo.kind == 4) argInfo.patchIndex = index;
}

}  // namespace

Str missingIndexDetail() {
    const Str& dir = argInfo.cdrom.path();
    if (dir.empty()) return "No cdrom directory was named (-c).\n";
    Str file = Str(kDefaultIndex) + ".IND";
    struct stat st;
    Str what = stat((dir + "/" + file).chars(), &st) != 0
                   ? Str(std::strerror(errno))
                   : Str("not a valid index (the debug log tells why)");
    return "Searched the directory " + dir + ": " + file + ": " + what + ".\n";
}

void rootCheck(int status) {
    if (geteuid() == 0) return;
    const char* ignore = std::getenv("IgnoreRoot");
    bool ignored = ignore && *ignore;
    std::fputs("Error: you must be root to run server install.\n", stderr);
    std::fputs(ignored ? "Going on without root's rights, since IgnoreRoot is set.\n"
                       : "Run it as root, or set the environment variable IgnoreRoot (to any "
                         "text) to go on without root's rights.\n",
               stderr);
    if (!ignored) std::exit(status);
}

int zpiGetArgs(int argc, char** argv) {
    argInfo.kind = 1;
    argInfo.programName = lastComponent(argv[0]);
    argInfo.yes = 0;
    rootCheck(255);
    bool defaults = false;
    Str prefix;
    restartOptions();
    int c;
    while ((c = getopt(argc, argv, "a:c:di:IPp:yz:Z:")) != -1) {
        switch (c) {
            case 'a':
                argInfo.serverName = optarg;
                argInfo.config.define(kGeneric, "ZPI_NAME", optarg);
                break;
            case 'c':
                argInfo.cdrom.reset(optarg, PHASE_SERVER);
                break;
            case 'd':
                defaults = true;
                break;
            case 'i': {
                Str file, extra;
                splitIndexSpec(optarg, file, extra);
                OperationInfo index(file);
                if (!index.IsValid()) {
                    std::fprintf(stderr, "Error processing index file `%s' (%s).\n", file.chars(),
                                 extra.chars());
                    std::exit(2);
                }
                argInfo.index = index;
                dbFile << argInfo.index << std::endl;
                break;
            }
            case 'I':
                // Escaped like the IP setting: the password goes into shell
                // commands.
                argInfo.installPassword = shellEscaped(getpass("installation password: "));
                break;
            case 'P':
                argInfo.rootPassword = getpass("root's password: ");
                break;
            case 'p':
                prefix = optarg;
                break;
            case 'y':
                argInfo.yes = 1;
                break;
            case 'z':
                if (*optarg) argInfo.config = variableFile(optarg);
                break;
            case 'Z':
                if (*optarg) argInfo.config.addData(optarg);
                break;
            default:
                dbFile << "Unknown option was passed: " << char(optopt) << std::endl;
                serverCliUsage();
        }
    }
    reportConfigurationWarnings();
    if (argInfo.cdrom.path().empty()) usageError("Error: no cdrom path specified.\n");
    ProcessRest(argc, argv);
    takePasswordsFromConfiguration();
    if (!argInfo.index.IsValid()) {
        Str text = "Error: no valid index file found in cdrom directory.\n" + missingIndexDetail();
        usageError(text.chars());
    }
    if (defaults) applyDefaultPaths();
    if (!prefix.empty()) applyPrefix(prefix);
    return 1;
}

void ProcessRest(int argc, char** argv) {
    if (argInfo.kind != 3 && argInfo.kind != 4) {
        if (argInfo.defaultUser.empty()) argInfo.defaultUser = "root";
        if (!argInfo.index.IsValid() && !argInfo.cdrom.path().empty()) {
            OperationInfo index{Str(kDefaultIndex)};
            if (index.IsValid()) argInfo.index = index;
        }
    }
    for (; optind < argc; ++optind) applyWord(argv[optind]);
}

char** BuildUpArgs(int argc, char** argv, int* newArgc) {
    argInfo.programName = argc > 0 && argv[0] ? lastComponent(argv[0]) : Str();
    Str seedFile, prefix, second;
    bool seed = false, hasSecond = false;
    restartOptions();
    int c;
    while ((c = getopt(argc, argv, "A:a:c:i:p:Q:Rz:Z:")) != -1) {
        switch (c) {
            case 'A':
                seed = true;
                seedFile = optarg;
                break;
            case 'a':
                if (argInfo.kind == 1) {
                    argInfo.serverName = optarg;
                    argInfo.config.define(kGeneric, "ZPI_NAME", optarg);
                } else {
                    dbFile << "Don't pass -a " << optarg << std::endl;
                }
                break;
            case 'c':
                argInfo.cdrom.reset(optarg, PHASE_SERVER);
                break;
            case 'i': {
                Str file, extra;
                splitIndexSpec(optarg, file, extra);
                OperationInfo index(file);
                if (!index.IsValid()) throwNoIND(file);
                argInfo.index = index;
                dbFile << argInfo.index << std::endl;
                break;
            }
            case 'p':
                if (optarg[0] == '/') prefix = optarg;
                break;
            case 'Q':
                hasSecond = true;
                second = optarg;
                break;
            case 'R':
                argInfo.config.addData(config_data);
                break;
            case 'z':
                if (*optarg) argInfo.config = variableFile(optarg);
                break;
            case 'Z':
                if (*optarg && !argInfo.config.addFile(optarg)) unreadableVariableFile(optarg);
                break;
            default:
                dbFile << "Unknown option was passed: " << char(optopt) << std::endl;
                std::fprintf(stderr, "Unknown option was passed: %c\n", optopt);
        }
    }
    reportConfigurationWarnings();
    ProcessRest(argc, argv);
    takePasswordsFromConfiguration();
    if (hasSecond) readSecondIndex(second);
    InstallType server(InstallType::id("ZPI_NAME"));
    if (argInfo.kind == 1 && server.valid()) server.setPath(argInfo.serverName);
    // Built after the index reads, which may raise the missing-index exception.
    NewArgs args(argInfo.programName.empty() ? Str("InstallStuff") : argInfo.programName);
    if (seed)
        addSeedFile(args, seedFile, prefix);
    else
        addGuiItems(args, prefix);
    return args.release(newArgc);
}

Str CheckDir(const char* path) {
    DIR* dir = opendir(path);
    if (!dir) return Str();
    closedir(dir);
    return path;
}
