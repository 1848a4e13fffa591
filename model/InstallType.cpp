#include "model/InstallType.h"

#include <cstdlib>

#include "engine/Args.h"
#include "framework/bln_cipher.h"
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

namespace {

// The installation password goes into shell commands: escape every
// character the shell would interpret, the backslash first so that added
// backslashes are not doubled.
Str shellEscaped(const Str& clear) {
    Str out(clear);
    for (const char* c : {"\\", "^", "$", "\"", "'", "`", ">", "<", ";", "|", "="})
        out.gsub(c, Str("\\") + c);
    return out;
}

}  // namespace

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

Str InstallType::myPath(const InstallHost*) const {
    // Drive specifications are adjusted only for client installs (kind 2)
    // on PC hosts; both front ends run server installs.
    return valid() ? entry().path : Str();
}
