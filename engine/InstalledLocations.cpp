#include "engine/InstalledLocations.h"

#include <cstdio>

#include "model/DebugLog.h"

namespace {

InstalledAt table[kMaxInstalledLocations];
int count = 0;

Str quoted(const Str& text) {
    return "\"" + text + "\"";
}

}  // namespace

void RegisterInstalled(const Str& host, const Str& paths, const Str& typeId, const Str& hostType,
                       const Str& description, const Str& note) {
    dbFile << "registering location(" << host << "," << paths << "," << typeId << "," << hostType
           << "," << description << "," << note << ")" << std::endl;
    if (count == kMaxInstalledLocations) {
        dbFile << "!!!!Locations Overflow!!!" << std::endl;
        return;
    }
    table[count++] = InstalledAt{host, paths, typeId, hostType, description, note};
}

int installedLocationCount() {
    return count;
}

const InstalledAt& installedLocation(int i) {
    return table[i];
}

Str locationsText() {
    char head[32];
    std::snprintf(head, sizeof head, "{ %d", count);
    Str text = head;
    for (int i = 0; i < count; ++i) {
        const InstalledAt& r = table[i];
        text += " { " + quoted(r.host) + " " + quoted(r.paths) + " " + quoted(r.typeId) + " " +
                quoted(r.hostType) + " " + quoted(r.description) + " " + quoted(r.note) + " }";
    }
    return text + " }";
}

void clearInstalledLocations() {
    for (int i = 0; i < count; ++i) table[i] = InstalledAt();
    count = 0;
}
