#include "engine/InstallOperation.h"

#include "engine/Args.h"
#include "engine/HostGroup.h"
#include "hosts/HostMessages.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"

namespace {

const Str& typeName(const InstallType& type) {
    return type.entry().id;
}

Message opsMessage(long n, std::initializer_list<Str> args) {
    Array<Str> a;
    for (const Str& s : args) a.put(s);
    return catalogMessage(InstallOpsCatalog, n, a);
}

InstallOperation sharing(int kind, const InstallType& type, const Str& from, const Str& host,
                         const Str& hostType) {
    InstallOperation op;
    op.kind = kind;
    op.type = type;
    op.fromHost = from;
    op.host = host;
    op.hostType = hostType;
    return op;
}

long pushMessageNumber(DistKind k) {
    switch (k) {
        case MACHINE_SPECIFIC:
            return 5;
        case ARCH_SPECIFIC:
            return 6;
        default:
            return 7;
    }
}

}  // namespace

InstallOperation opGetFrom(const InstallType& type, const Str& from, const Str& host,
                           const Str& hostType) {
    return sharing(GET_FROM, type, from, host, hostType);
}

InstallOperation opAlreadyInstalled(const InstallType& type, const Str& from, const Str& host,
                                    const Str& hostType) {
    return sharing(ALREADY_INSTALLED, type, from, host, hostType);
}

InstallOperation opRmFile(const InstallType& type, const Str& file, const Str& host) {
    InstallOperation op;
    op.kind = RM_FILE;
    op.type = type;
    op.host = host;
    op.list.put(file);
    return op;
}

InstallOperation opExecScript(const InstallType& type) {
    InstallOperation op;
    op.type = type;
    op.script = argInfo.index.script(type, Str());
    if (op.script.kind() == DIST_NONE) {
        recordFailure(argInfo.serverName, 115, {typeName(type)});
        return op;
    }
    op.kind = EXEC_SCRIPT;
    return op;
}

InstallOperation opDoFilePack(const InstallType& type, const FileSystemInfo& fs,
                              const Str& hostType, const Str& from) {
    dbFile << "setting up media packet push for " << type << std::endl;
    InstallOperation op;
    op.kind = PUSH_FILEPACK;
    op.fs = fs;
    op.type = type;
    op.hostType = hostType;
    op.fromHost = from;
    op.host = fs.client;
    op.filePack = findFilePackSpecific(type, hostType, op.host);
    if (op.filePack.kind() == DIST_NONE) {
        recordFailure(op.host, 112, {typeName(type)});
        op.kind = OP_INVALID;
        return op;
    }
    if (!hostGroups.isEnoughDisk(fs, op.filePack.sizeKB())) {
        bool strict = argInfo.config.translate(nullptr, "@IgnoreFree@") == "NO";
        recordFailure(op.host, strict ? 113 : 114, {typeName(type), fs.server, fs.serverPath});
        if (strict) op.kind = OP_INVALID;
    }
    return op;
}

Message* InstallOperation::opMessage() const {
    switch (kind) {
        case GET_FROM:
            return new Message(opsMessage(3, {host, typeName(type), fromHost}));
        case ALREADY_INSTALLED:
            return new Message(fromHost.empty() ? opsMessage(4, {host, typeName(type)})
                                                : opsMessage(15, {host, typeName(type), fromHost}));
        case PUSH_FILEPACK: {
            long n = pushMessageNumber(filePack.kind());
            Message* m = new Message(
                opsMessage(n, {typeName(type), filePack.arch(), fs.server, fs.serverPath}));
            for (int i = 0; i < list.length(); ++i)
                m->add_msg(
                    opsMessage(n, {typeName(type), filePack.arch(), list[i], fs.serverPath}));
            return m;
        }
        case EXEC_SCRIPT:
        case RM_FILE:
            return nullptr;
        default:
            dbFile << "opMessage bogus operation!!!" << std::endl;
            return nullptr;
    }
}

void InstallOperation::tellOp(std::ostream& out, int flag) const {
    switch (kind) {
        case GET_FROM:
            out << opsMessage(111, {host, typeName(type), fromHost});
            break;
        case ALREADY_INSTALLED:
            out << (fromHost.empty() ? opsMessage(112, {host, typeName(type)})
                                     : opsMessage(113, {host, typeName(type), fromHost}));
            break;
        case PUSH_FILEPACK: {
            out << (flag ? opsMessage(115, {typeName(type), fs.server, fs.serverPath})
                         : opsMessage(114,
                                      {typeName(type), filePack.arch(), fs.server, fs.serverPath}));
            // A one-character count: more than nine further hosts show as '+'.
            Str count(list.length() < 10 ? char('0' + list.length()) : '+');
            for (int i = 0; i < list.length(); ++i) out << opsMessage(116, {count, list[i]});
            break;
        }
        case EXEC_SCRIPT:
            out << opsMessage(117, {script.name()});
            break;
        case RM_FILE:
            break;
        default:
            out << opsMessage(119, {});
    }
}
