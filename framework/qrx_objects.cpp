#include "framework/qrx_objects.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "framework/qrx_exception.h"
#include "framework/qrx_mem.h"
#include "framework/qrx_msg.h"

namespace {

const char* orEmpty(const char* text) {
    return text ? text : "";
}

QRX_Object* newObject(const std::string& registry, const std::string& name,
                      const std::string& label) {
    auto* object = static_cast<QRX_Object*>(qrx_xmalloc(sizeof(QRX_Object)));
    object->registry = qrx_strdup(registry.c_str());
    object->name = qrx_strdup(name.c_str());
    object->label = qrx_strdup(label.c_str());
    return object;
}

bool isLocalServer(const QRX_Object* object) {
    return object == ms_get_local_objsrv();
}

// The label of `name` in `registry` from the directory file; false when absent.
bool findInDirectory(const char* registry, const char* name, std::string* label) {
    const char* path = std::getenv("QRX_DIRECTORY");
    if (!path || !*path) return false;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string r, n;
        if (!(fields >> r >> n) || r[0] == '#' || r != registry || n != name) continue;
        std::getline(fields >> std::ws, *label);
        size_t end = label->find_last_not_of(" \t\r");
        label->erase(end == std::string::npos ? 0 : end + 1);
        if (label->empty()) *label = n;
        return true;
    }
    return false;
}

}  // namespace

const QRX_Object* ms_get_local_objsrv() {
    static const QRX_Object* server = newObject("ObjectServer", "local", "local");
    return server;
}

char* qrx_objcall(const QRX_Object* object, const char* interface, const char* operation) {
    if (isLocalServer(object) && std::strcmp(orEmpty(interface), "cntl") == 0 &&
        std::strcmp(orEmpty(operation), "get_port_range") == 0) {
        return qrx_strdup(orEmpty(std::getenv("QRX_PORT_RANGE")));
    }
    QRX_MsgArg args[] = {qrx_arg_text(interface), qrx_arg_text(operation),
                         qrx_arg_text(object ? object->label : nullptr)};
    throw QRX_SystemException(
        qrx_msg_new(QRX_RUNTIME_CATALOG, QRX_TEXT_NO_OPERATION, QRX_MSG_NO_OPERATION, args, 3));
}

QRX_Object* qrx_lookup_instance(const char* registry, const char* name) {
    std::string label;
    if (registry && name && findInDirectory(registry, name, &label)) {
        return newObject(registry, name, label);
    }
    QRX_MsgArg args[] = {qrx_arg_text(name), qrx_arg_text(registry)};
    throw SysAdminException::ExEntryNotFound(qrx_msg_new(
        QRX_RUNTIME_CATALOG, QRX_TEXT_ENTRY_NOT_FOUND, QRX_MSG_ENTRY_NOT_FOUND, args, 2));
}

void qrx_object_release(QRX_Object* object) {
    if (!object || isLocalServer(object)) return;
    std::free(object->registry);
    std::free(object->name);
    std::free(object->label);
    std::free(object);
}
