#include "model/Configuration.h"

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/Args.h"
#include "engine/Platform.h"
#include "hosts/HostMessages.h"
#include "hosts/InstallHost.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"
#include "model/PortRange.h"

const Str generic("generic");

namespace {

// Lines longer than this are cut; the rest of such a line is dropped.
const size_t kLineMax = 1999;

// A translation longer than this is runaway substitution (a value that
// names itself twice doubles with every pass), not a command or a path.
const size_t kTranslatedMax = 1 << 20;

// Translation nests through install-type subdirectory templates; a
// template that names its own type would otherwise recurse without end.
// Once the limit is hit every level gives up, or the passes of the outer
// levels would multiply.
const int kMaxNesting = 16;
thread_local int nesting = 0;
thread_local bool abandoned = false;

// One line without its end (LF or CRLF); false at the end of the input.
// cut: whether the line was longer than kLineMax.
bool readConfigLine(std::istream& in, std::string& line, bool& cut) {
    if (!std::getline(in, line)) return false;
    // Every carriage return that ends a line is line end: a text moved
    // between systems twice has more than one, and one kept would end an
    // id or value that the dump writes back and the next reading cuts.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    cut = line.size() > kLineMax;
    if (cut) line.resize(kLineMax);
    return true;
}

// The length of text once every occurrence of token (non-overlapping, as
// gsub replaces them) is replaced by value; worked out before replacing,
// since the replaced text itself may not fit in memory.
size_t translatedLength(const Str& text, const Str& token, const Str& value) {
    size_t n = 0;
    for (int at = text.index(token); at >= 0; at = text.index(token, at + token.length())) ++n;
    size_t rest = size_t(text.length()) - n * size_t(token.length());
    size_t each = size_t(value.length());
    return n > (SIZE_MAX - rest) / each ? SIZE_MAX : rest + n * each;
}

// Entries with the same id: "generic" first, then ascending type.
bool typeBefore(const Str& a, const Str& b) {
    if (a == b) return false;
    if (a == generic) return true;
    if (b == generic) return false;
    return compare(a, b) < 0;
}

Str firstLineOf(const Str& value) {
    return value.contains('\n') ? Str(value.before('\n')) + "..." : value;
}

// Entries a configuration file may hold passwords in (the run settings of
// these names): their values never reach the debug log.
bool holdsPassword(const Str& id) {
    return id == "RP" || id == "IP" || id == "ZapPassword";
}

enum class Form { Plain, Root, Parent };

// The install type a token name stands for, if any, and in which form.
InstallType tokenType(const Str& name, Form& form) {
    form = Form::Plain;
    InstallType t(InstallType::id(name));
    if (t.valid()) return t;
    Str base = name.before("+ROOT");
    if (base.empty()) return InstallType();
    form = name.contains("+ROOT+") ? Form::Parent : Form::Root;
    return InstallType(InstallType::id(base));
}

Str typePath(const InstallType& t, const InstallHost* host, Form form) {
    int kind = argInfo.kind;
    Str path = t.myPath(host);
    if (host && path.empty() && (kind == 3 || kind == 4))
        path = PathFromPlatform(host->getName(), t.entry().id);
    if (path.empty()) path = t.entry().defaultPath;
    if (path.empty() && kind >= 2 && kind <= 4) path = PathFromPlatform(Str(), t.entry().id);
    if (form == Form::Parent && !path.empty()) {
        path.gsub("\\", "/");
        int slash = path.index('/', -1);
        if (slash >= 1) path = path.before(slash);
    }
    if (form == Form::Plain && host) {
        Str part = host->archSpecificPart(t);
        if (!part.empty()) path = path.empty() ? part : path + "/" + part;
    }
    return path;
}

}  // namespace

Configuration::Configuration(const Str& fileName) {
    addFile(fileName);
}
Configuration::Configuration(const char* text) {
    addData(text);
}
Configuration::Configuration(char** texts) {
    addData(texts);
}

bool Configuration::addFile(const Str& fileName) {
    sources_ += "+" + fileName;
    struct stat st;
    std::ifstream in;
    // A directory opens like a file and then reads as nothing at all.
    if (stat(fileName.chars(), &st) == 0 && !S_ISDIR(st.st_mode)) in.open(fileName.chars());
    if (!in.is_open()) {
        dbFile << "can't open configuration file `" << fileName << "'" << std::endl;
        return false;
    }
    parse(in, fileName);
    return true;
}

void Configuration::addData(const char* text) {
    sources_ += "+(Str)";
    if (!text) {
        dbFile << "can't open configuration strstream `"
               << "'" << std::endl;
        return;
    }
    std::istringstream in(text);
    parse(in, "(Str)");
}

void Configuration::addData(char** texts) {
    sources_ += "+(StrList)";
    if (!texts) {
        dbFile << "can't open configuration strstream `0'" << std::endl;
        return;
    }
    std::string joined;
    for (char** p = texts; *p; ++p) joined += *p;
    std::istringstream in(joined);
    parse(in, "(StrList)");
}

void Configuration::parse(std::istream& in) {
    parse(in, "(stream)");
}

void Configuration::parse(std::istream& in, const Str& source) {
    ConfigurationItem pending;
    int lines = 0;
    int lineNumber = 0;
    bool cut = false;
    std::string line;
    while (readConfigLine(in, line, cut)) {
        ++lineNumber;
        if (cut) {
            Str note = "line " + std::to_string(lineNumber) + " of `" + source +
                       "' is longer than " + std::to_string(kLineMax) +
                       " characters; the rest of it is ignored.";
            dbFile << note << std::endl;
            warnings_.put(note);
        }
        if (line.empty() || line[0] == '#') continue;
        if (line.compare(0, 2, "%%") == 0) {
            if (!pending.type.empty() && !pending.id.empty()) {
                store(pending);
            } else {
                dbFile << "Invalid configuration entry: type=" << pending.type
                       << ", id=" << pending.id << std::endl;
            }
            pending = ConfigurationItem();
            lines = 0;
            continue;
        }
        Str text(line);
        if (++lines == 1) {
            int blank = text.index(' ');
            if (blank >= 0) {
                pending.type = text.before(blank);
                pending.id = text.after(blank);
            }
        } else if (lines == 2) {
            pending.value = text;
        } else {
            pending.value += "\n" + text;
        }
    }
    // A final entry not closed by a "%%" line is dropped.
}

void Configuration::store(const ConfigurationItem& item) {
    int index = 0, genericIndex = 0;
    int found = locate(item.type, item.id, index, genericIndex);
    dbFile << "New configuration item: type=" << item.type << ", id=" << item.id << "\n"
           << (holdsPassword(item.id) ? Str("xXx") : firstLineOf(item.value)) << std::endl;
    if (found) {
        items_[index] = item;
        dbFile << "replacing ci" << std::endl;
    } else {
        items_.insert(item, index);
    }
}

bool Configuration::take(const Str& type, const Str& id, Str& value) {
    int index = 0, genericIndex = 0;
    if (!locate(type, id, index, genericIndex)) return false;
    value = items_[index].value;
    items_.del(index);
    return true;
}

int Configuration::locate(const Str& type, const Str& id, int& index, int& genericIndex) const {
    genericIndex = -1;
    const int count = items_.length();
    if (count == 0 || compare(id, items_[count - 1].id) > 0) {
        index = count;
        return 0;
    }
    // Start of the run of entries with this id.
    int p;
    if (items_[count - 1].id == id) {
        for (p = count - 1; p > 0 && items_[p - 1].id == id; --p) {
        }
    } else {
        for (p = 0; p < count && items_[p].id != id; ++p) {
            if (compare(items_[p].id, id) > 0) {
                index = p;
                return 0;
            }
        }
        if (p == count) {
            index = count;
            return 0;
        }
    }
    if (items_[p].type == generic) {
        genericIndex = p;
        if (type == generic) {
            index = p;
            return 1;
        }
        ++p;
    } else if (type == generic) {
        index = p;
        return 0;
    }
    for (; p < count; ++p) {
        const ConfigurationItem& ci = items_[p];
        if (ci.id != id || typeBefore(type, ci.type)) {
            index = p;
            return 0;
        }
        if (ci.type == type) {
            index = p;
            return 1;
        }
    }
    index = count;
    return 0;
}

void Configuration::define(const Str& type, const Str& id, const Str& value) {
    InstallType t(InstallType::id(id));
    if (t.valid()) {
        t.setPath(value);
        dbFile << "Warning: defining variable " << id << " which is an InstallType." << std::endl;
        return;
    }
    int index = 0, genericIndex = 0;
    if (locate(type, id, index, genericIndex)) {
        items_[index].value = value;
        dbFile << "Redefining " << id << ", type =" << type << std::endl;
    } else {
        items_.insert(ConfigurationItem{type, id, value}, index);
    }
}

Str Configuration::valueOf(const InstallHost* host, const Str& archType, const Str& name) const {
    if (name == "IP") return argInfo.installPassword;
    // The run's server name wins; without one a ZPI_NAME entry still counts.
    if (name == "ZPI_NAME" && !argInfo.serverName.empty()) return argInfo.serverName;
    if (name == "ZPI_PORT" || name == "Port") {
        const char* port = getenv("o_dispatch");
        return port ? Str(port) : Str("94");
    }
    if (name == "PortRange") return localPortRange();
    Form form;
    InstallType t = tokenType(name, form);
    if (t.valid()) return typePath(t, host, form);
    if (host) {
        if (name == "Arch") return archType;
        if (name == "HostName") return host->getName();
        if (name == "CDROM") return argInfo.cdrom.path();
    }
    int index = 0, genericIndex = 0;
    if (locate(archType, name, index, genericIndex)) return items_[index].value;
    if (genericIndex >= 0) return items_[genericIndex].value;
    dbFile << "configuration item unfound: type=" << archType << ", id=" << name << std::endl;
    return Str();
}

namespace {

const Regex& tokenPattern() {
    static const Regex pattern("@[A-Za-z_][-+A-Za-z0-9_]*@");
    return pattern;
}

}  // namespace

bool holdsToken(const Str& text) {
    return text.contains(tokenPattern());
}

Str Configuration::translate(const InstallHost* host, const Str& text) const {
    const Str archType = host ? host->getType() : generic;
    Str result(text);
    if (nesting >= kMaxNesting) {
        dbFile << "Configuration translate ridiculous looping." << std::endl;
        abandoned = true;
        return result;
    }
    ++nesting;
    for (int pass = 0; !abandoned; ++pass) {
        Str token = result.at(tokenPattern());
        if (token.empty()) break;
        if (pass > 100) {
            dbFile << "Configuration translate ridiculous looping." << std::endl;
            break;
        }
        Str name = token.at(1, token.length() - 2);
        Str value = valueOf(host, archType, name);
        if (value.empty()) dbFile << "Warning: empty substitution for " << name << std::endl;
        if (value.length() > token.length() &&
            translatedLength(result, token, value) > kTranslatedMax) {
            dbFile << "Configuration translate ridiculous looping." << std::endl;
            recordFailure(host ? host->getName() : argInfo.serverName, 279, {name});
            abandoned = true;
            break;
        }
        int count = result.gsub(token, value);
        dbFile << "Substituted " << count << " instances of " << token << std::endl;
        if (count == 0) {
            dbFile << "Something went wrong with substitution!" << std::endl;
            break;
        }
    }
    if (--nesting == 0) abandoned = false;
    return result;
}

ConfigurationItem Configuration::lookup(const InstallHost* host, const Str& name) const {
    return ConfigurationItem{host ? host->getType() : generic, name,
                             translate(host, "@" + name + "@")};
}

Str Configuration::dump() const {
    Str out;
    for (int i = 0; i < items_.length(); ++i) {
        const ConfigurationItem& ci = items_[i];
        out += ci.type + " " + ci.id + "\n" + ci.value + "\n%%\n";
    }
    return out;
}
