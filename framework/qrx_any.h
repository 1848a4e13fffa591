// Self-describing values: a type code and a value.
//
// A TypeCode names its type and knows how to deep-copy and release a value
// of that type, so anys are copied and freed generically. The built-in types
// cover what the installer passes: the null type, strings (value: char*),
// string lists (value: QRX_Types_StringList*) and sequences of anys (value:
// QRX_AnySequence*). Programs register further types through the type
// repository given to qrx_init.
#pragma once

#include <cstddef>

struct TypeCode {
    const char* name;
    // A deep copy of value (value may be null for the null type).
    void* (*copy)(const void* value);
    void (*release)(void* value);
};

struct QRX_Any {
    const TypeCode* type;
    void* value;
};

struct QRX_Types_StringList {
    size_t length;
    char** items;
};

struct QRX_AnySequence {
    size_t length;
    QRX_Any* items;  // each item owns its value
};

extern const TypeCode QRX_tc_null;              // "null"
extern const TypeCode QRX_tc_string;            // "string"
extern const TypeCode QRX_Types_tc_StringList;  // "QRX_Types::StringList"
extern const TypeCode QRX_tc_AnySequence;       // "QRX_Types::AnySequence"

// A new any of type tc (null: the null type) holding value, or a copy of it
// unless adopt is non-zero.
QRX_Any* qrx_any_new(const TypeCode* tc, void* value, int adopt);
// A deep copy; null for null.
QRX_Any* qrx_any_copy(const QRX_Any* any);
// Releases the value by its type code, then the any; null is ignored.
void qrx_any_destroy(QRX_Any* any);

// The values of the built-in types, newly allocated.
QRX_Types_StringList* qrx_stringlist_new(const char* const* items, size_t count);
// A sequence holding deep copies of the given anys (a null item becomes an
// any of the null type).
QRX_AnySequence* qrx_anyseq_new(const QRX_Any* const* items, size_t count);

// The program's types, handed to qrx_init.
struct QRX_TypeRepository {
    const TypeCode* const* types;
    size_t count;
};

// Adds the repository's types to those qrx_lookup_type knows.
void qrx_register_types(const QRX_TypeRepository* repository);
// The type code of that name among the built-in and registered types, or null.
const TypeCode* qrx_lookup_type(const char* name);
