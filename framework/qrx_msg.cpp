#include "framework/qrx_msg.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/qrx_mem.h"
#include "framework/qrx_msg_format.h"
#include "framework/qrx_nls.h"

namespace {

char* copyText(const char* text) {
    return qrx_strdup(text ? text : "");
}

QRX_MsgArg copyArg(const QRX_MsgArg& a) {
    QRX_MsgArg c{};
    c.kind = a.kind;
    switch (a.kind) {
        case QRX_ARG_TEXT:
            c.text = copyText(a.text);
            break;
        case QRX_ARG_NUMBER:
            c.number = a.number;
            break;
        case QRX_ARG_LIST:
            c.listLength = a.list ? a.listLength : 0;
            c.list = static_cast<char**>(qrx_xcalloc(c.listLength, sizeof(char*)));
            for (size_t k = 0; k < c.listLength; ++k) c.list[k] = copyText(a.list[k]);
            break;
        case QRX_ARG_MESSAGE:
            c.message = qrx_msg_copy(a.message);
            break;
        default:
            // An argument of no known kind carries nothing; keep it empty.
            c.kind = QRX_ARG_TEXT;
            c.text = copyText(nullptr);
            break;
    }
    return c;
}

void freeArg(QRX_MsgArg* a) {
    std::free(a->text);
    for (size_t k = 0; k < a->listLength; ++k) std::free(a->list[k]);
    std::free(a->list);
    qrx_msg_destroy(a->message);
}

void copyRecord(const QRX_Types_XOpenMessageRecord& from, QRX_Types_XOpenMessageRecord* to) {
    to->catalog = copyText(from.catalog);
    to->number = from.number;
    to->defaultText = copyText(from.defaultText);
    to->argCount = from.args ? from.argCount : 0;
    to->args = static_cast<QRX_MsgArg*>(qrx_xcalloc(to->argCount, sizeof(QRX_MsgArg)));
    for (size_t k = 0; k < to->argCount; ++k) to->args[k] = copyArg(from.args[k]);
}

void freeRecord(QRX_Types_XOpenMessageRecord* r) {
    std::free(r->catalog);
    std::free(r->defaultText);
    for (size_t k = 0; k < r->argCount; ++k) freeArg(&r->args[k]);
    std::free(r->args);
}

std::string bindRecord(const QRX_Types_XOpenMessageRecord& r, int flags) {
    char* translated = (flags & QRX_MSG_BIND_DEFAULT_TEXT)
                           ? nullptr
                           : qrx_catalog_text(r.catalog, QRX_MSG_SET, r.number);
    QrxMessageBinder embedded = [flags](const QRX_Types_XOpenMessage* m) {
        char* text = qrx_msg_bind(m, nullptr, flags);
        std::string s = text ? text : "";
        std::free(text);
        return s;
    };
    std::string text =
        qrx_msg_format(translated ? translated : r.defaultText, r.args, r.argCount, embedded);
    std::free(translated);
    return text;
}

}  // namespace

QRX_MsgArg qrx_arg_text(const char* text) {
    QRX_MsgArg a{};
    a.kind = QRX_ARG_TEXT;
    a.text = const_cast<char*>(text);
    return a;
}

QRX_MsgArg qrx_arg_number(long number) {
    QRX_MsgArg a{};
    a.kind = QRX_ARG_NUMBER;
    a.number = number;
    return a;
}

QRX_MsgArg qrx_arg_list(const char* const* items, size_t count) {
    QRX_MsgArg a{};
    a.kind = QRX_ARG_LIST;
    a.list = const_cast<char**>(items);
    a.listLength = count;
    return a;
}

QRX_MsgArg qrx_arg_message(const QRX_Types_XOpenMessage* message) {
    QRX_MsgArg a{};
    a.kind = QRX_ARG_MESSAGE;
    a.message = const_cast<QRX_Types_XOpenMessage*>(message);
    return a;
}

QRX_Types_XOpenMessage* qrx_msg_new(const char* catalog, const char* defaultText, long number,
                                    const QRX_MsgArg* args, size_t argCount) {
    QRX_Types_XOpenMessageRecord r{const_cast<char*>(catalog), number,
                                   const_cast<char*>(defaultText), const_cast<QRX_MsgArg*>(args),
                                   argCount};
    QRX_Types_XOpenMessage one{&r, 1};
    return qrx_msg_copy(&one);
}

QRX_Types_XOpenMessage* qrx_msg_copy(const QRX_Types_XOpenMessage* list) {
    if (!list) return nullptr;
    auto* copy = static_cast<QRX_Types_XOpenMessage*>(qrx_xmalloc(sizeof(QRX_Types_XOpenMessage)));
    copy->length = list->records ? list->length : 0;
    copy->records = static_cast<QRX_Types_XOpenMessageRecord*>(
        qrx_xcalloc(copy->length, sizeof(QRX_Types_XOpenMessageRecord)));
    for (size_t k = 0; k < copy->length; ++k) copyRecord(list->records[k], &copy->records[k]);
    return copy;
}

void qrx_msg_append(QRX_Types_XOpenMessage* list, QRX_Types_XOpenMessage* other) {
    if (!list || !other || list == other) return;
    size_t total = list->length + other->length;
    list->records = static_cast<QRX_Types_XOpenMessageRecord*>(
        qrx_xrealloc(list->records, total * sizeof(QRX_Types_XOpenMessageRecord)));
    if (other->length > 0) {
        std::memcpy(list->records + list->length, other->records,
                    other->length * sizeof(QRX_Types_XOpenMessageRecord));
    }
    list->length = total;
    std::free(other->records);
    std::free(other);
}

void qrx_msg_destroy(QRX_Types_XOpenMessage* list) {
    if (!list) return;
    for (size_t k = 0; k < list->length; ++k) freeRecord(&list->records[k]);
    std::free(list->records);
    std::free(list);
}

QRX_Types_XOpenMessageRecord* qrx_msg_find(QRX_Types_XOpenMessage* list, const char* catalog,
                                           long number) {
    if (!list || !catalog) return nullptr;
    for (size_t k = 0; k < list->length; ++k) {
        QRX_Types_XOpenMessageRecord* r = &list->records[k];
        if (r->number == number && r->catalog && std::strcmp(r->catalog, catalog) == 0) return r;
    }
    return nullptr;
}

void qrx_msg_add_arg(QRX_Types_XOpenMessageRecord* record, const QRX_MsgArg* arg) {
    if (!record || !arg) return;
    record->args = static_cast<QRX_MsgArg*>(
        qrx_xrealloc(record->args, (record->argCount + 1) * sizeof(QRX_MsgArg)));
    record->args[record->argCount++] = copyArg(*arg);
}

char* qrx_msg_bind(const QRX_Types_XOpenMessage* list, const char* separator, int flags) {
    if (!list) return nullptr;
    std::string text;
    size_t length = list->records ? list->length : 0;
    for (size_t k = 0; k < length; ++k) {
        if (k > 0 && separator) text += separator;
        text += bindRecord(list->records[k], flags);
    }
    return qrx_strndup(text.data(), text.size());
}
