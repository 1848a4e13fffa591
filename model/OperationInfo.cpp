#include "model/OperationInfo.h"

#include <sstream>
#include <string>

#include "engine/Args.h"
#include "engine/Platform.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"
#include "model/InstallType.h"

int upgrade_hack = 0;

namespace {

// Lines longer than this are cut; the rest of such a line is dropped.
const size_t kLineMax = 1023;

// Keeps the framework look-ups of "description" and "patch_for" lines
// from running re-entrantly.
int lookupNesting = 0;

struct LookupGuard {
    LookupGuard() { ++lookupNesting; }
    ~LookupGuard() { --lookupNesting; }
    bool outermost() const { return lookupNesting == 1; }
};

void trim(Str& field) {
    static const Regex leading("^[ \t]+");
    static const Regex trailing("[ \t]+$");
    if (field.index(leading) == 0) {
        dbFile << "Found leading whitespace: [" << field << "]" << std::endl;
        field = field.after(leading);
        dbFile << "Leading whitespace removed: [" << field << "]" << std::endl;
    }
    if (field.contains(trailing)) {
        dbFile << "Found trailing whitespace: [" << field << "]" << std::endl;
        field = field.before(trailing);
        dbFile << "Trailing whitespace removed: [" << field << "]" << std::endl;
    }
}

// Splits a line at every ":" into at most kIndexFields fields; a final
// empty field is dropped. Returns the number of fields.
int splitFields(const Str& line, Str* fields) {
    if (line.empty()) return 0;
    int count = 0;
    int start = 0;
    for (;;) {
        int colon = line.index(':', start);
        int end = colon < 0 ? line.length() : colon;
        if (colon < 0 && end == start) break;  // a line ending in ":"
        if (count == kIndexFields) {
            dbFile << "index line has more than " << kIndexFields
                   << " fields; the rest is ignored: " << line << std::endl;
            break;
        }
        fields[count++] = line.at(start, end - start);
        if (colon < 0) break;
        start = colon + 1;
    }
    for (int i = 0; i < count; ++i) trim(fields[i]);
    return count;
}

// Index text is printable: a control character other than a tab marks a
// file that is no index (a binary, a damaged copy).
bool isText(const std::string& line) {
    for (unsigned char c : line)
        if (c < 0x20 ? c != '\t' : c == 0x7f) return false;
    return true;
}

// The entry of the chosen kind that serves type on arch.
template <class T>
const T& entryFor(const Array<T>& entries, const InstallType& type, const Str& arch) {
    static const T none;
    for (int i = 0; i < entries.length(); ++i) {
        const T& e = entries[i];
        if (e.installType() != type.index() || e.kind() == DIST_NONE) continue;
        if (e.kind() != ARCH_SPECIFIC || e.arch() == arch) return e;
    }
    return none;
}

}  // namespace

OperationInfo::OperationInfo(const Str& name) {
    Str text;
    argInfo.cdrom.getIndex(name, text);
    if (text.empty()) return;
    std::istringstream in(text.str());
    load(in);
}

OperationInfo::OperationInfo(const char* text, const Str& productName) : productName_(productName) {
    dbFile << "processing index data for product " << productName << std::endl;
    if (!text) {
        dbFile << "can't open index strstream" << std::endl;
        return;
    }
    indexPath_ = "in-memory";
    std::istringstream in(text);
    load(in);
}

void OperationInfo::load(std::istream& in) {
    // The types an index declares go into the process-wide table: a
    // rejected index must leave the table as it found it.
    const Array<InstallTypeData> types = InstallType::data;
    const int upgrade = upgrade_hack;
    const bool clean = parse(in);
    // A type declared and then declared invalid by a later line is none,
    // and a gui item of such a type offers nothing.
    for (int i = guiItems_.length() - 1; i >= 0; --i) {
        const GuiItem& item = guiItems_[i];
        if (item.letter() != 'N' && !InstallType(item.installType()).valid()) {
            dbFile << "gui item of a type made invalid: " << item;
            guiItems_.del(i);
        }
    }
    bool declares = false;
    for (int i = 0; i < declared_.length(); ++i)
        declares = declares || InstallType(declared_[i]).valid();
    if (clean && declares) {
        valid_ = 1;
        return;
    }
    dbFile << "index rejected: " << (declares ? "lines that do not parse" : "no install type")
           << std::endl;
    InstallType::data = types;
    upgrade_hack = upgrade;
    valid_ = 0;
}

bool OperationInfo::parse(std::istream& in) {
    bool clean = true;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kLineMax) line.resize(kLineMax);
        if (!isText(line)) {
            dbFile << "index line is not text" << std::endl;
            clean = false;
            continue;
        }
        Str fields[kIndexFields];
        int count = splitFields(Str(line), fields);
        if (count == 0) continue;
        if (count < 2) {
            dbFile << "index line without an entry kind: " << line << std::endl;
            clean = false;
            continue;
        }
        if (productName_.empty()) productName_ = fields[0];
        if (fields[0] != productName_) continue;
        parseLine(fields, count);
    }
    return clean;
}

void OperationInfo::parseLine(const Str* fields, int count) {
    const Str kind = count > 1 ? fields[1] : Str();
    if (kind == "description") {
        describe(fields[2]);
    } else if (kind == "revision") {
        revision_ = fields[2];
    } else if (kind == "patch_id") {
        patchIds_.push(fields[2]);
    } else if (kind == "upgrade") {
        upgrade_hack = 1;
    } else if (kind == "depends") {
        dependsOn_.push(fields[2]);
    } else if (kind == "pc_install") {
        pcInstall_ = 1;
        dbFile << "\tThis install is for a pc component!" << std::endl;
    } else if (kind == "patch_for") {
        patchFor(fields[2]);
    } else if (kind == "fp") {
        FilePack fp(indexPath_, fields);
        if (fp.kind() == DIST_NONE) {
            dbFile << "Bogus media packet entry!!!" << std::endl;
            return;
        }
        filePacks_.put(fp);
        valid_ = 1;
    } else if (kind == "script") {
        Script s(fields);
        if (s.kind() == DIST_NONE) {
            dbFile << "Bogus script entry!!!" << std::endl;
            return;
        }
        scripts_.put(s);
        valid_ = 1;
    } else if (kind == "gui") {
        addGuiItem(fields);
    } else if (kind == "id") {
        Str name = fields[2];
        if (name.index('@') == 0) name = Str(name.after('@')).before('@');
        Str declaration[kIndexFields - 2];
        for (int i = 2; i < kIndexFields; ++i) declaration[i - 2] = fields[i];
        // An empty name names no type: it would be declared without a label,
        // and so be left out of the catalogue.
        InstallType type = name.empty() ? InstallType() : InstallType(name);
        if (type.init(declaration))
            declared_.put(type.index());
        else
            dbFile << "Bogus installType id entry!!!" << std::endl;
    } else {
        dbFile << "can't handle `" << kind << "' index entry" << std::endl;
    }
}

void OperationInfo::addGuiItem(const Str* fields) {
    GuiItem item(fields);
    if (item.letter() != 'N' && !InstallType(item.installType()).valid()) {
        dbFile << "Bogus gui item entry!!!" << std::endl;
        return;
    }
    for (int i = 0; i < guiItems_.length(); ++i) {
        const GuiItem& held = guiItems_[i];
        if (held.phase() == item.phase() && held.installType() == item.installType()) {
            dbFile << "trying to push dup gui item " << item;
            return;
        }
    }
    guiItems_.put(item);
}

void OperationInfo::describe(const Str& text) {
    description_ = text;
    LookupGuard guard;
    if (!guard.outermost()) return;
    const char* found = nullptr;
    switch (argInfo.kind) {
        case 2:
            infoObject_ = argInfo.index.infoObject();
            return;
        case 3:
            found = findProductInfo(productName_, 1);
            break;
        case 4:
            found = findPatchInfo(productName_, 1);
            break;
        default:
            return;
    }
    if (found) infoObject_ = found;
}

void OperationInfo::patchFor(const Str& product) {
    patchProductName_ = product;
    LookupGuard guard;
    if (!guard.outermost() || argInfo.kind != 4) return;
    if (const char* found = findProductInfo(product, 1)) argInfo.productIndex.setInfoObject(found);
}

const FilePack& OperationInfo::filePack(const InstallType& type, const Str& arch) const {
    return entryFor(filePacks_, type, arch);
}

const Script& OperationInfo::script(const InstallType& type, const Str& arch) const {
    return entryFor(scripts_, type, arch);
}

DistKind OperationInfo::kind(const InstallType& type, const Str& arch) const {
    DistKind k = filePack(type, arch).kind();
    return k != DIST_NONE ? k : script(type, arch).kind();
}

Str OperationInfo::catalog() const {
    const Str tag = productName_;
    Str out = tag + ":description:" + description_ + "\n";
    if (!revision_.empty()) out += tag + ":revision:" + revision_ + "\n";
    if (!patchProductName_.empty()) out += tag + ":patch_for:" + patchProductName_ + "\n";
    // Both lists hold the newest entry first: write them oldest first, so
    // that the catalogue read as an index gives the same lists again.
    for (int i = dependsOn_.length() - 1; i >= 0; --i)
        out += tag + ":depends:" + dependsOn_[i] + "\n";
    for (int i = patchIds_.length() - 1; i >= 0; --i)
        out += tag + ":patch_id:" + patchIds_[i] + "\n";
    // Only declared types: one that a name alone brought into the table has
    // no declaration to write, and would read back as declared.
    for (int i = 0; i < InstallType::data.length(); ++i)
        if (!InstallType::data[i].label.empty()) out += tag + ":id:" + InstallType(i).dump() + "\n";
    for (int i = 0; i < filePacks_.length(); ++i) out += tag + ":fp:" + filePacks_[i].dump() + "\n";
    for (int i = 0; i < scripts_.length(); ++i) out += tag + ":script:" + scripts_[i].dump() + "\n";
    for (int i = 0; i < guiItems_.length(); ++i) out += tag + ":gui:" + guiItems_[i].dump() + "\n";
    return out;
}

std::ostream& operator<<(std::ostream& out, const OperationInfo& info) {
    if (!info.IsValid()) return out << catalogMessage(InstallOpsCatalog, 84);
    Array<Str> count;
    count.put(Str(std::to_string(info.filePacks().length())));
    return out << catalogMessage(InstallOpsCatalog, 82) << info.productName() << " ("
               << info.description() << ")\n"
               << catalogMessage(InstallOpsCatalog, 83, count);
}
