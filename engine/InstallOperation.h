// One planned step of the to-do list, and how the list shows it before the
// user confirms. Operations are values: the host group's list holds copies.
#pragma once

#include <ostream>

#include "engine/FileSystemInfo.h"
#include "model/Array.h"
#include "model/FilePack.h"
#include "model/InstallType.h"
#include "model/Message.h"
#include "model/Str.h"

enum OpKind {
    OP_INVALID = 0,
    GET_FROM = 1,
    PUSH_FILEPACK = 2,
    EXEC_SCRIPT = 3,
    RM_FILE = 4,
    ALREADY_INSTALLED = 5
};

class InstallOperation {
  public:
    int kind = OP_INVALID;
    InstallType type;
    Str hostType;  // the host's type, or a type group key
    Str fromHost;  // source of a get-from or already-installed type; may be empty
    Str host;      // target host; empty: every host the type is valid for
    FilePack filePack;
    FileSystemInfo fs;  // target file system of a push
    Script script;
    Array<Str> list;  // further hosts of a merged push; files of a removal

    // The text describing the operation for the window front end, owned by
    // the caller; null for scripts and removals.
    Message* opMessage() const;
    // The operation's lines of the printed to-do list; flag 1 leaves the
    // package name out of a push (used for the NetWare group).
    void tellOp(std::ostream& out, int flag) const;
};

QS_ARRAY_LABEL(InstallOperation, "ptArray.InstallOperation");

InstallOperation opGetFrom(const InstallType& type, const Str& from, const Str& host,
                           const Str& hostType);
InstallOperation opAlreadyInstalled(const InstallType& type, const Str& from, const Str& host,
                                    const Str& hostType);
InstallOperation opRmFile(const InstallType& type, const Str& file, const Str& host);
// Kind 0, with failure 115 recorded, when the index has no script for type.
InstallOperation opExecScript(const InstallType& type);
// A push of the type's package onto fs for fs.client. Kind 0 when there is
// no package (failure 112) or, with "@IgnoreFree@" set to "NO", no room
// (failure 113); without room otherwise a warning (114) and the push stays.
InstallOperation opDoFilePack(const InstallType& type, const FileSystemInfo& fs,
                              const Str& hostType, const Str& from);
