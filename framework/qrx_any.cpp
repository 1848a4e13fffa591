#include "framework/qrx_any.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "framework/qrx_mem.h"

namespace {

void* copyNull(const void*) {
    return nullptr;
}
void releaseNull(void*) {}

void* copyString(const void* value) {
    return qrx_strdup(static_cast<const char*>(value));
}
void releaseString(void* value) {
    std::free(value);
}

void* copyStringList(const void* value) {
    auto* list = static_cast<const QRX_Types_StringList*>(value);
    return list ? qrx_stringlist_new(list->items, list->length) : nullptr;
}

void releaseStringList(void* value) {
    auto* list = static_cast<QRX_Types_StringList*>(value);
    if (!list) return;
    for (size_t k = 0; k < list->length; ++k) std::free(list->items[k]);
    std::free(list->items);
    std::free(list);
}

void* copyAnySequence(const void* value) {
    auto* seq = static_cast<const QRX_AnySequence*>(value);
    if (!seq) return nullptr;
    auto* copy = static_cast<QRX_AnySequence*>(qrx_xmalloc(sizeof(QRX_AnySequence)));
    copy->length = seq->length;
    copy->items = static_cast<QRX_Any*>(qrx_xcalloc(seq->length, sizeof(QRX_Any)));
    for (size_t k = 0; k < seq->length; ++k) {
        const QRX_Any& item = seq->items[k];
        copy->items[k].type = item.type;
        copy->items[k].value = item.type->copy(item.value);
    }
    return copy;
}

void releaseAnySequence(void* value) {
    auto* seq = static_cast<QRX_AnySequence*>(value);
    if (!seq) return;
    for (size_t k = 0; k < seq->length; ++k) seq->items[k].type->release(seq->items[k].value);
    std::free(seq->items);
    std::free(seq);
}

std::mutex registryLock;
std::vector<const TypeCode*>& registered() {
    static std::vector<const TypeCode*> types;
    return types;
}

}  // namespace

const TypeCode QRX_tc_null = {"null", copyNull, releaseNull};
const TypeCode QRX_tc_string = {"string", copyString, releaseString};
const TypeCode QRX_Types_tc_StringList = {"QRX_Types::StringList", copyStringList,
                                          releaseStringList};
const TypeCode QRX_tc_AnySequence = {"QRX_Types::AnySequence", copyAnySequence, releaseAnySequence};

QRX_Any* qrx_any_new(const TypeCode* tc, void* value, int adopt) {
    auto* any = static_cast<QRX_Any*>(qrx_xmalloc(sizeof(QRX_Any)));
    any->type = tc ? tc : &QRX_tc_null;
    any->value = adopt ? value : any->type->copy(value);
    return any;
}

QRX_Any* qrx_any_copy(const QRX_Any* any) {
    return any ? qrx_any_new(any->type, any->value, 0) : nullptr;
}

void qrx_any_destroy(QRX_Any* any) {
    if (!any) return;
    any->type->release(any->value);
    std::free(any);
}

QRX_Types_StringList* qrx_stringlist_new(const char* const* items, size_t count) {
    auto* list = static_cast<QRX_Types_StringList*>(qrx_xmalloc(sizeof(QRX_Types_StringList)));
    list->length = items ? count : 0;
    list->items = static_cast<char**>(qrx_xcalloc(list->length, sizeof(char*)));
    for (size_t k = 0; k < list->length; ++k) list->items[k] = qrx_strdup(items[k] ? items[k] : "");
    return list;
}

QRX_AnySequence* qrx_anyseq_new(const QRX_Any* const* items, size_t count) {
    QRX_Any nullAny{&QRX_tc_null, nullptr};
    std::vector<QRX_Any> view(items ? count : 0);
    for (size_t k = 0; k < view.size(); ++k) view[k] = items[k] ? *items[k] : nullAny;
    QRX_AnySequence seq{view.size(), view.data()};
    return static_cast<QRX_AnySequence*>(copyAnySequence(&seq));
}

void qrx_register_types(const QRX_TypeRepository* repository) {
    if (!repository || !repository->types) return;
    std::lock_guard<std::mutex> hold(registryLock);
    for (size_t k = 0; k < repository->count; ++k) {
        if (repository->types[k]) registered().push_back(repository->types[k]);
    }
}

const TypeCode* qrx_lookup_type(const char* name) {
    if (!name) return nullptr;
    static const TypeCode* const builtIn[] = {&QRX_tc_null, &QRX_tc_string,
                                              &QRX_Types_tc_StringList, &QRX_tc_AnySequence};
    for (const TypeCode* tc : builtIn) {
        if (std::strcmp(tc->name, name) == 0) return tc;
    }
    std::lock_guard<std::mutex> hold(registryLock);
    for (const TypeCode* tc : registered()) {
        if (tc->name && std::strcmp(tc->name, name) == 0) return tc;
    }
    return nullptr;
}
