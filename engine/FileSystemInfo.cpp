#include "engine/FileSystemInfo.h"

std::ostream& operator<<(std::ostream& out, const FileSystemInfo& fs) {
    return out << "\tserver=" << fs.server << ':' << fs.serverPath << "\n\tclient=" << fs.client
               << ':' << fs.clientPath << "\n\tkbytesFree=" << fs.kbytesFree
               << "\tserverDevice=" << fs.serverDevice
               << "\n\tserverMountedOn=" << fs.serverMountedOn << "\tmountedOn=" << fs.mountedOn
               << "\n";
}
