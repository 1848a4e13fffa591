// A product index: the parsed form of one ".IND" file of the medium (or of
// a text). Malformed entries are reported to the debug log and skipped; the
// parse never stops the run. An index is valid only when all its lines are
// index text and at least one install type it declares is valid at its end.
#pragma once

#include <istream>
#include <ostream>

#include "model/Array.h"
#include "model/FilePack.h"
#include "model/Str.h"

class InstallType;

// Set by any "upgrade" line of any index.
extern int upgrade_hack;

class OperationInfo {
  public:
    OperationInfo() = default;
    // The index named name on the run's medium; valid when the medium is
    // open and the index text is not empty.
    explicit OperationInfo(const Str& name);
    // An index given as text.
    OperationInfo(const char* text, const Str& productName);

    // Reads the entries; false when a line is not index text (a control
    // character, or no entry kind after the product tag).
    bool parse(std::istream& in);

    int IsValid() const { return valid_; }
    const Str& productName() const { return productName_; }
    const Str& description() const { return description_; }
    const Str& revision() const { return revision_; }
    const Str& indexPath() const { return indexPath_; }
    const Str& patchProductName() const { return patchProductName_; }
    const Array<Str>& dependsOn() const { return dependsOn_; }
    const Array<Str>& patchIds() const { return patchIds_; }
    const Str& infoObject() const { return infoObject_; }
    void setInfoObject(const char* text) { infoObject_ = text; }
    int pcInstall() const { return pcInstall_; }
    const Array<FilePack>& filePacks() const { return filePacks_; }
    const Array<Script>& scripts() const { return scripts_; }
    const Array<GuiItem>& guiItems() const { return guiItems_; }

    // The first entry for type with a kind, architecture specific ones only
    // for arch; otherwise a shared entry of kind 0.
    const FilePack& filePack(const InstallType& type, const Str& arch) const;
    const Script& script(const InstallType& type, const Str& arch) const;
    DistKind kind(const InstallType& type, const Str& arch) const;

    // The index regenerated as text, one line per item.
    Str catalog() const;

  private:
    // Parses and judges: valid only when every line parses and at least
    // one install type is declared; a rejected index leaves the install
    // type table and the upgrade mark as they were.
    void load(std::istream& in);
    void parseLine(const Str* fields, int count);
    void addGuiItem(const Str* fields);
    void describe(const Str& text);
    void patchFor(const Str& product);

    Array<FilePack> filePacks_;
    Array<Script> scripts_;
    Array<GuiItem> guiItems_;
    Array<Str> dependsOn_;
    Array<Str> patchIds_;
    Str productName_;
    Str description_;
    Str revision_;
    Str indexPath_;
    Str patchProductName_;
    Str infoObject_;
    int valid_ = 0;
    int pcInstall_ = 0;
    Array<int> declared_;  // the types its "id" lines declared
};

std::ostream& operator<<(std::ostream& out, const OperationInfo& info);
