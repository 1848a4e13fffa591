// The "fp", "script" and "gui" entries of a product index: a numbered
// file-package image on the medium, a product script, and an option the
// window front end offers, each for one install type.
#pragma once

#include <cstdint>
#include <ostream>

#include "model/Array.h"
#include "model/Str.h"

class InstallType;

// How a file pack or script is distributed.
enum DistKind {
    DIST_NONE = 0,            // invalid or absent
    MACHINE_SPECIFIC = 1,     // "unique"
    ARCH_SPECIFIC = 2,        // one per interpreter type
    MACHINE_INDEPENDENT = 4,  // "generic"
};

enum Phase {
    PHASE_NONE = 0,
    PHASE_SERVER = 1,
    PHASE_CLIENT = 2,
    PHASE_PRODUCT = 3,
    PHASE_PATCH = 4
};

std::ostream& operator<<(std::ostream& out, DistKind k);
std::ostream& operator<<(std::ostream& out, Phase p);

// Index lines are split into at most this many fields; fields[0] is the
// product tag, fields[1] the entry kind. Missing fields are empty.
constexpr int kIndexFields = 12;

class FilePack {
  public:
    FilePack() = default;
    FilePack(const Str& indexPath, const Str* fields);

    const Str& path() const { return path_; }
    const Str& relativePath() const { return relativePath_; }
    DistKind kind() const { return kind_; }
    int installType() const { return installType_; }
    const Str& arch() const { return arch_; }
    const Str& installedCheck() const { return installedCheck_; }
    std::int64_t sizeKB() const { return sizeKB_; }
    int fileNumber() const { return fileNumber_; }

    // <medium>/FILE<n>.PKT and <medium>/CFG/FILE<n>.CFG
    Str pathToImage() const;
    Str pathToDescription() const;
    // The fields of the "fp" line after the kind.
    Str dump() const;

  private:
    Str path_;
    Str relativePath_;
    DistKind kind_ = DIST_NONE;
    int installType_ = -1;
    Str arch_;
    Str installedCheck_;
    std::int64_t sizeKB_ = 0;
    int fileNumber_ = 0;
};

std::ostream& operator<<(std::ostream& out, const FilePack& fp);

class Script {
  public:
    Script() = default;
    explicit Script(const Str* fields);

    const Str& name() const { return name_; }
    DistKind kind() const { return kind_; }
    int installType() const { return installType_; }
    const Str& arch() const { return arch_; }
    Str dump() const;

  private:
    Str name_;
    DistKind kind_ = DIST_NONE;
    int installType_ = -1;
    Str arch_;
};

std::ostream& operator<<(std::ostream& out, const Script& s);

class GuiItem {
  public:
    GuiItem() = default;
    explicit GuiItem(const Str* fields);

    char letter() const { return letter_; }
    int installType() const { return installType_; }
    Phase phase() const { return phase_; }
    const Str& value() const { return value_; }
    Str dump() const;

  private:
    char letter_ = ' ';
    int installType_ = -1;
    Phase phase_ = PHASE_NONE;
    Str value_;
};

std::ostream& operator<<(std::ostream& out, const GuiItem& g);

QS_ARRAY_LABEL(FilePack, "ptArray.FilePack");
QS_ARRAY_LABEL(Script, "ptArray.Script");
QS_ARRAY_LABEL(GuiItem, "ptArray.GuiItem");

// The run's file pack for type on arch, from the index the run's kind
// selects (3 product, 4 patch, otherwise the server index).
const FilePack& findFilePack(const InstallType& type, const Str& arch);
// With a server name set, first arch + "%server" (hostName is the server)
// or arch + "%client" (any other host); otherwise, or when that gives
// nothing, findFilePack.
const FilePack& findFilePackSpecific(const InstallType& type, const Str& arch, const Str& hostName);
