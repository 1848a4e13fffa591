// Framework objects: the local object server, operation calls and the
// look-up of named instances.
//
// With no framework servers present the stand-in answers from the
// environment:
// - The local object server always exists. Its only operation is
//   "get_port_range" of interface "cntl", which returns the value of the
//   environment variable QRX_PORT_RANGE ("low-high"), or an empty text when
//   it is unset: no range configured.
// - Named instances come from the directory file named by the environment
//   variable QRX_DIRECTORY. Each line holds a registry (a class such as
//   "NetWareManagedSite", or a directory such as "distinguished"), an
//   instance name and, after further blanks, the instance's label (the name
//   when omitted); blank lines and lines starting with '#' are skipped:
//       distinguished ServerManagedNode  tiger
//       NetWareManagedSite nw1
//   A look-up that finds no such line (no variable, no file, no entry)
//   raises SysAdminException::ExEntryNotFound.
// - Any other operation raises QRX_SystemException.
#pragma once

// Texts of the runtime's own messages (catalogue QRX_RUNTIME_CATALOG).
constexpr const char* QRX_RUNTIME_CATALOG = "QrxRuntimeCatalog";
constexpr long QRX_MSG_ENTRY_NOT_FOUND = 1;
constexpr const char* QRX_TEXT_ENTRY_NOT_FOUND = "The entry `%1$s' was not found in `%2$s'.";
constexpr long QRX_MSG_NO_OPERATION = 2;
constexpr const char* QRX_TEXT_NO_OPERATION =
    "The operation `%2$s' of interface `%1$s' is not available on `%3$s'.";

struct QRX_Object {
    char* registry;
    char* name;
    char* label;
};

// The local object server, owned by the runtime.
const QRX_Object* ms_get_local_objsrv();
// Calls `operation` of `interface` on object with no arguments; returns the
// resulting text, newly allocated. Raises QRX_SystemException when the
// object does not offer the operation.
char* qrx_objcall(const QRX_Object* object, const char* interface, const char* operation);
// The instance `name` of `registry`, newly allocated (release it with
// qrx_object_release). Raises SysAdminException::ExEntryNotFound.
QRX_Object* qrx_lookup_instance(const char* registry, const char* name);
void qrx_object_release(QRX_Object* object);
