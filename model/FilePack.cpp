#include "model/FilePack.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "engine/Args.h"
#include "framework/qrx_nls.h"
#include "model/Catalog.h"
#include "model/InstallType.h"
#include "model/Message.h"

namespace {

// A decimal field; 0 when missing, not a number or beyond an int.
int number(const Str& field) {
    std::int64_t n = decimalPrefix(field);
    return n >= INT_MIN && n <= INT_MAX ? int(n) : 0;
}

DistKind distribution(const Str& word, bool prefixes) {
    if (word == "generic" || (prefixes && word.index("generic%") == 0)) return MACHINE_INDEPENDENT;
    if (word == "unique" || (prefixes && word.index("unique%") == 0)) return MACHINE_SPECIFIC;
    return ARCH_SPECIFIC;
}

Phase phaseOf(const Str& word) {
    if (word == "server") return PHASE_SERVER;
    if (word == "client") return PHASE_CLIENT;
    if (word == "product") return PHASE_PRODUCT;
    if (word == "patch") return PHASE_PATCH;
    return PHASE_NONE;
}

const char* phaseWord(Phase p) {
    switch (p) {
        case PHASE_SERVER:
            return "server";
        case PHASE_CLIENT:
            return "client";
        case PHASE_PRODUCT:
            return "product";
        case PHASE_PATCH:
            return "patch";
        default:
            return "bogus";
    }
}

Str typeId(int index) {
    return index < 0 ? Str() : InstallType(index).entry().id;
}

// Naming a type registers it; an empty name names no type.
int typeIndex(const Str& name) {
    return name.empty() ? -1 : InstallType(name).index();
}

Str mediumFile(const char* format, int number) {
    char name[64];
    snprintf(name, sizeof name, format, number);
    return argInfo.cdrom.path() + name;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, DistKind k) {
    long n = k == MACHINE_SPECIFIC      ? 85
             : k == ARCH_SPECIFIC       ? 86
             : k == MACHINE_INDEPENDENT ? 87
                                        : 88;
    return out << catalogMessage(InstallOpsCatalog, n);
}

std::ostream& operator<<(std::ostream& out, Phase p) {
    return out << "Phase(" << phaseWord(p) << ")";
}

FilePack::FilePack(const Str& indexPath, const Str* fields) : path_(indexPath) {
    if (fields[1] != "fp") return;
    installType_ = typeIndex(fields[2]);
    arch_ = fields[3];
    installedCheck_ = fields[4];
    sizeKB_ = decimalPrefix(fields[5]);
    fileNumber_ = number(fields[6]);
    kind_ = sizeKB_ == 0 && fileNumber_ == 0 ? DIST_NONE : distribution(arch_, true);
}

Str FilePack::pathToImage() const {
    return mediumFile("/FILE%d.PKT", fileNumber_);
}
Str FilePack::pathToDescription() const {
    return mediumFile("/CFG/FILE%d.CFG", fileNumber_);
}

Str FilePack::dump() const {
    return typeId(installType_) + ":" + arch_ + ":" + installedCheck_ + ":" +
           std::to_string(sizeKB_) + ":" + std::to_string(fileNumber_);
}

std::ostream& operator<<(std::ostream& out, const FilePack& fp) {
    return out << fp.kind()
               << qrx_trans_string("instll", InstallType(fp.installType()).entry().label.chars());
}

Script::Script(const Str* fields) {
    installType_ = typeIndex(fields[2]);
    name_ = fields[3];
    arch_ = fields[4];
    // A script without a name could never run: treat it as invalid.
    kind_ = name_.empty() ? DIST_NONE : distribution(arch_, false);
}

Str Script::dump() const {
    return typeId(installType_) + ":" + name_ + ":" + arch_;
}

std::ostream& operator<<(std::ostream& out, const Script& s) {
    return out << s.kind() << s.name();
}

GuiItem::GuiItem(const Str* fields) {
    letter_ = fields[2].empty() ? ' ' : fields[2][0];
    installType_ = typeIndex(fields[3]);
    phase_ = phaseOf(fields[4]);
    value_ = fields[5];
}

Str GuiItem::dump() const {
    return Str(letter_) + ":" + typeId(installType_) + ":" + phaseWord(phase_) + ":" + value_;
}

std::ostream& operator<<(std::ostream& out, const GuiItem& g) {
    return out << "-" << g.letter() << " " << InstallType(g.installType()) << " " << g.phase()
               << " " << g.value() << std::endl;
}

const FilePack& findFilePack(const InstallType& type, const Str& arch) {
    return runIndex().filePack(type, arch);
}

const FilePack& findFilePackSpecific(const InstallType& type, const Str& arch,
                                     const Str& hostName) {
    if (!argInfo.serverName.empty()) {
        Str role = hostName == argInfo.serverName ? "%server" : "%client";
        const FilePack& specific = findFilePack(type, arch + role);
        if (specific.kind() != DIST_NONE) return specific;
    }
    return findFilePack(type, arch);
}
