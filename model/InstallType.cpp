#include "model/InstallType.h"

#include <cstdlib>
#include <cstring>

#include "engine/Args.h"
#include "framework/bln_cipher.h"
#include "hosts/InstallHost.h"
#include "model/DebugLog.h"

Array<InstallTypeData> InstallType::data;

std::ostream& operator<<(std::ostream& out, ValidFor v) {
    out << "ValidFor(";
    switch (v) {
        case SERVER:
            return out << "SERVER)";
        case CLIENT:
            return out << "CLIENT)";
        case BOTH:
            return out << "BOTH)";
        default:
            return out << "Bogus)";
    }
}

std::ostream& operator<<(std::ostream& out, const InstallTypeData& d) {
    out << d.id << ", " << d.label << ", " << d.path << ", " << d.defaultPath << ", " << d.options
        << ", ";
    for (int i = 0; i < d.choices.length(); ++i) out << (i ? "," : "") << d.choices[i];
    return out << ", " << d.extraText << ", " << d.linkedType << ", " << d.enabled << ", "
               << d.variable << ", " << d.forceInstall << ", " << d.validFor;
}

std::ostream& operator<<(std::ostream& out, const InstallType& t) {
    if (t.index() == -1) return out << "InstallType(Bogus!)";
    return out << "InstallType(" << t.entry().id << ")";
}

InstallType::InstallType(const Str& name) : index_(id(name)) {
    if (index_ >= 0) return;
    InstallTypeData d;
    d.id = name;
    data.put(d);
    index_ = data.length() - 1;
}

int InstallType::id(const Str& name) {
    for (int i = 0; i < data.length(); ++i)
        if (data[i].id == name) return i;
    return -1;
}

bool InstallType::valid() const {
    return index_ >= 0 && index_ < data.length() && data[index_].validFor != INVALID;
}

Str shellEscaped(const Str& clear) {
    Str out(clear);
    for (const char* c : {"\\", "^", "$", "\"", "'", "`", ">", "<", ";", "|", "="})
        out.gsub(c, Str("\\") + c);
    return out;
}

void InstallTypeData::setPath(const Str& value) {
    if (id == "IP" && !value.empty()) {
        char* clear = bln_decrypt(value);
        argInfo.installPassword = shellEscaped(clear);
        free(clear);
        dbFile << "Set install password" << std::endl;
        return;
    }
    path = value;
    forceInstall = 0;
    if (!path.empty() && path[path.length() - 1] == '!') {
        path = path.before(path.length() - 1);
        forceInstall = 1;
    }
    defaultPath = path;
    enabled = 1;
}

// Each type, then the types its linkedType chain names. A chain is followed
// at most once around the table, so that a cycle (A names B, B names A)
// ends instead of recursing for ever.
template <class Fn>
static void followLinks(const InstallType& first, Fn apply) {
    InstallType t = first;
    for (int steps = 0; t.valid() && steps <= InstallType::data.length(); ++steps) {
        apply(t);
        const Str linked = t.entry().linkedType;
        if (linked.empty() || InstallType::id(linked) == t.index()) break;
        t = InstallType(linked);
    }
}

void InstallType::setPath(const Str& value) const {
    Str v(value);
    v.gsub("\\", "/");
    followLinks(*this, [&v](const InstallType& t) { t.entry().setPath(v); });
}

void InstallType::setDefaultPath(const Str& value) const {
    followLinks(*this, [&value](const InstallType& t) { t.entry().defaultPath = value; });
}

namespace {

bool isPcHost(const InstallHost& host) {
    return host.isW32() || host.isOS2();
}

// "x:/dir" on a Unix host: the drive means nothing there.
Str withoutDriveSpec(const InstallHost& host, const Str& p) {
    if (p.length() <= 2 || p[0] == '/' || p[1] != ':' || p[2] != '/') return p;
    Str out = p.after(':');
    dbFile << host.getName() << ": removed drive spec from path: " << out << std::endl;
    return out;
}

// "/dir" on a PC host: the host's default drive in front.
Str withDriveSpec(const InstallHost& host, const Str& p) {
    if (p.empty() || p[0] != '/' || (p.length() > 1 && p[1] == '/')) return p;
    Str drive = argInfo.config.translate(&host, "@DefaultDosDrive@");
    if (drive.empty()) {
        const Str& base = host.getToolsLoc();
        drive = host.isOS2() && base.contains('/') ? base.before('/') : Str("c:");
    }
    dbFile << host.getName() << ": added drive spec " << drive << " to path " << p << std::endl;
    return drive + p;
}

}  // namespace

Str InstallType::myPath(const InstallHost* host) const {
    Str p = valid() ? entry().path : Str();
    if (!host || argInfo.kind != 2) return p;
    return isPcHost(*host) ? withDriveSpec(*host, p) : withoutDriveSpec(*host, p);
}

namespace {

const char* validityWord(ValidFor v) {
    switch (v) {
        case SERVER:
            return "server";
        case CLIENT:
            return "client";
        case BOTH:
            return "both";
        default:
            return "";
    }
}

Str colonsAsHashes(const Str& text) {
    Str out(text);
    out.gsub(":", "#");
    return out;
}

}  // namespace

int InstallTypeData::initialize(const Str* fields) {
    const Str& name = fields[0];
    if (name.index('@') == 0) {
        variable = 1;
    } else if (name != id) {
        return 0;
    }
    const bool declared = !label.empty();
    label = fields[1].empty() ? name : fields[1];
    if (fields[2] == "client") validFor = CLIENT;
    if (fields[2] == "server") validFor = SERVER;
    if (fields[2] == "both") validFor = BOTH;
    bool onlyNamed = true;
    for (int i : {1, 3, 4, 5, 6, 7}) onlyNamed = onlyNamed && fields[i].empty();
    if (onlyNamed) {
        validFor = INVALID;
        return 0;
    }
    options = fields[3];
    // Index fields cannot hold a colon: paths write it as "#".
    Str spec = fields[4];
    spec.gsub("#", ":");
    if (spec.contains("choices=")) {
        choices = Array<Str>();
        Str list = spec.after("choices=");
        for (int comma; (comma = list.index(',')) >= 0; list = list.after(comma))
            choices.put(list.before(comma));
        choices.put(list);
    }
    if (choices.length() > 0) {
        defaultPath = choices[0];
    } else if (spec.empty() || declared) {
        dbFile << "Keeping dflt for " << id << " of " << defaultPath << std::endl;
    } else {
        defaultPath = spec.after("default=");
    }
    extraText = fields[5];
    linkedType = fields[6];
    return 1;
}

int InstallType::init(const Str* fields) const {
    return index_ == -1 ? 0 : entry().initialize(fields);
}

Str InstallType::dump() const {
    const InstallTypeData& d = entry();
    Str out = d.variable ? "@" + d.id + "@" : d.id;
    // A declaration of the name alone: any further field would make it valid.
    if (d.validFor == INVALID) return out;
    out += ":" + d.label + ":" + validityWord(d.validFor) + ":" + d.options + ":";
    if (d.choices.length() > 0) {
        out += "choices=";
        for (int i = 0; i < d.choices.length(); ++i)
            out += (i ? "," : "") + colonsAsHashes(d.choices[i]);
    } else {
        out += "default=" + colonsAsHashes(d.defaultPath);
    }
    return out + ":" + d.extraText + ":" + d.linkedType;
}

Str BaseName(const Str& path) {
    Str last = path.from('/', -1);
    return last.empty() ? path : Str(last.after(0));
}

namespace {

// The choices offered for type, separated by "(SeP)", absolute ones under
// prefix; or its single default.
Str choiceText(const InstallType& type, const Str& prefix, bool baseName) {
    const InstallTypeData& d = type.entry();
    if (d.choices.length() > 0) {
        Str list;
        for (int i = 0; i < d.choices.length(); ++i) {
            if (i > 0) list += "(SeP)";
            const Str& choice = d.choices[i];
            list += choice.length() > 0 && choice[0] == '/' ? prefix + choice : choice;
        }
        return ":" + list + ":0";
    }
    if (d.id == "ZPI_NAME")
        return ":" + (argInfo.serverName.empty() ? localName() : argInfo.serverName);
    if (d.defaultPath.length() > 0 && d.defaultPath[0] == '/')
        return ":" + (baseName ? prefix + "/" + BaseName(d.defaultPath) : prefix + d.defaultPath);
    return ":" + d.defaultPath;
}

}  // namespace

char* fillInOption(char* entry, const Str& prefixSpec) {
    Str prefix = prefixSpec;
    bool baseName = prefix.length() > 0 && prefix[prefix.length() - 1] == '!';
    if (baseName) prefix = prefix.before(prefix.length() - 1);
    if (!entry || entry[0] != '-' || !entry[1]) return entry;
    Str rest(entry + 2);
    Str value = rest.contains(':') ? rest.after(':') : Str();
    if (!value.empty()) rest = rest.before(':');
    Str name = rest;
    if (entry[2] == '@') name = Str(rest.after('@')).before('@');
    InstallType type(name);
    if (!type.valid()) return entry;
    Str text = Str("-") + entry[1] + rest + ":" + type.entry().label +
               choiceText(type, prefix, baseName) + ":" + value;
    Str translated = argInfo.config.translate(nullptr, text);
    char* out = new char[translated.length() + 1];
    std::memcpy(out, translated.chars(), size_t(translated.length()) + 1);
    return out;
}
