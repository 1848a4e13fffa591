// The configuration database: entries keyed by (architecture, name), read
// from configuration texts, and the @name@ translation of templates for a
// host. Nothing here stops the run: problems go to the debug log and the
// caller gets what could be built (empty values, or tokens left in place).
#pragma once

#include <istream>

#include "model/Array.h"
#include "model/Str.h"

class InstallHost;

// Architecture of entries that apply to every host.
extern const Str generic;

// Whether text still holds an @name@ token; after a translation, one that
// was stopped (runaway or looping substitution).
bool holdsToken(const Str& text);

struct ConfigurationItem {
    Str type;   // "generic" or an interpreter type such as "solaris2"
    Str id;     // the name used between "@" signs
    Str value;  // lines joined by single newlines, no final newline
};

QS_ARRAY_LABEL(ConfigurationItem, "ptArray.ConfigurationItem");

class Configuration {
  public:
    Configuration() = default;
    explicit Configuration(const Str& fileName);
    explicit Configuration(const char* text);
    explicit Configuration(char** texts);

    // Each records its source in sources() and merges the entries of the
    // text into the database; later entries replace earlier ones.
    // false (nothing added) when the file cannot be read or is a directory.
    bool addFile(const Str& fileName);
    void addData(const char* text);
    // Joins the null-terminated list without separators, then parses it.
    void addData(char** texts);
    void parse(std::istream& in);

    // 1 when (type, id) exists (index = its position), else 0 (index = the
    // position where it would be inserted). genericIndex: the position of
    // the "generic" entry with this id, or -1.
    int locate(const Str& type, const Str& id, int& index, int& genericIndex) const;

    // Sets a value at run time; a name of a valid install type sets that
    // type's path instead.
    void define(const Str& type, const Str& id, const Str& value);
    // Removes the entry (type, id) and gives its value; false when there is
    // none.
    bool take(const Str& type, const Str& id, Str& value);

    // text with every @name@ token replaced for host (null: "generic"),
    // recursively, at most 101 passes. A translation that would grow past
    // 1 MiB stops there, with failure 279 recorded for host (or the
    // server); the text is returned as it stands, tokens included.
    Str translate(const InstallHost* host, const Str& text) const;
    // The fully translated value of one name.
    ConfigurationItem lookup(const InstallHost* host, const Str& name) const;

    // Every entry as configuration text; it parses back to the same entries.
    Str dump() const;

    const Str& sources() const { return sources_; }
    const Array<ConfigurationItem>& items() const { return items_; }
    // What the administrator should hear of the texts read so far: lines
    // cut at 1999 characters.
    const Array<Str>& warnings() const { return warnings_; }

  private:
    // source names the text in warnings.
    void parse(std::istream& in, const Str& source);
    void store(const ConfigurationItem& item);
    Str valueOf(const InstallHost* host, const Str& archType, const Str& name) const;

    Str sources_;
    Array<ConfigurationItem> items_;
    Array<Str> warnings_;
};
