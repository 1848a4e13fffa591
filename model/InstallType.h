// Install types: the installable components of a product (binaries,
// libraries, the database, ...) and named settings, each with its path for
// the run. All types live in one process-wide table, InstallType::data; an
// InstallType is an index into it, so a type keeps its position once named.
#pragma once

#include <ostream>

#include "model/Array.h"
#include "model/Str.h"

class InstallHost;

enum ValidFor { VALID_UNSET = 0, SERVER = 1, CLIENT = 2, BOTH = 3, INVALID = 4 };

std::ostream& operator<<(std::ostream& out, ValidFor v);

struct InstallTypeData {
    Str id = " bogus baby!";
    Str label;
    Str path;
    Str defaultPath;
    Str options;
    Array<Str> choices;
    Str extraText;   // per-architecture subdirectory template of the type
    Str linkedType;  // another type whose path follows this one
    int enabled = 0;
    int variable = 0;
    int forceInstall = 0;
    ValidFor validFor = VALID_UNSET;

    void setPath(const Str& value);
    // Declares the type from the fields of an "id" index line, starting at
    // the name; 0 when the declaration is invalid.
    int initialize(const Str* fields);
};

QS_ARRAY_LABEL(InstallTypeData, "ptArray.InstallTypeData");

std::ostream& operator<<(std::ostream& out, const InstallTypeData& d);

class InstallType {
  public:
    static Array<InstallTypeData> data;

    InstallType() = default;
    explicit InstallType(int i) : index_(i) {}
    // The type of that name, appended to the table when it is new.
    explicit InstallType(const Str& name);

    // Position of the first type named name, -1 when none.
    static int id(const Str& name);

    int index() const { return index_; }
    // An index other than -1 whose declaration is not invalid.
    bool valid() const;
    // The table entry; the shared nil entry for index -1.
    InstallTypeData& entry() const { return data[index_]; }

    int enabled() const { return valid() ? entry().enabled : 0; }
    int variable() const { return valid() ? entry().variable : 0; }
    int forceInstall() const { return valid() ? entry().forceInstall : 0; }

    // initialize() on the type's entry; 0 for no type.
    int init(const Str* fields) const;
    // The declaration as index fields joined by ":"; the name alone for a
    // type declared invalid.
    Str dump() const;

    // Backslashes become "/"; the linked type follows.
    void setPath(const Str& value) const;
    void setDefaultPath(const Str& value) const;
    // The type's path on host (null: no particular host).
    Str myPath(const InstallHost* host) const;

  private:
    int index_ = -1;
};

std::ostream& operator<<(std::ostream& out, const InstallType& t);

// The last component of path; path itself when it has no "/".
Str BaseName(const Str& path);

// The installation password goes into shell commands: every character the
// shell would interpret escaped, the backslash first so that added
// backslashes are not doubled.
Str shellEscaped(const Str& clear);

// One option entry of the window front end ("-" letter type[":" value])
// with the type's label and choices filled in for its forms; a new text
// (new[]), or entry itself when nothing is filled in.
char* fillInOption(char* entry, const Str& prefix);
