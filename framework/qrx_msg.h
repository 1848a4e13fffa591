// Catalogued messages of the X/Open message service.
//
// A message list (QRX_Types_XOpenMessage) is a sequence of records; each
// record names a catalogue, a message number and a default text, and carries
// its arguments. Nothing is formatted until the list is bound to text with
// qrx_msg_bind, so a list can be collected now and shown later, in the
// user's language.
//
// Translations come from the C library's X/Open catalogues: the catalogue
// named by the record is opened with catopen(name, NL_CAT_LOCALE), which
// searches NLSPATH and the LC_MESSAGES locale (qrx_client_init sets the
// locale from the environment), and message `number` of set 2
// (QRX_MSG_SET) is taken. When the catalogue or the message is missing, the
// default text is used. Either way the text is then formatted with the
// record's arguments; see qrx_msg_format.h for the argument forms.
//
// Every list and every text handed out is malloc'd and owned by the caller:
// release lists with qrx_msg_destroy and texts with free().
#pragma once

#include <cstddef>

// The message set that holds the installer's texts in every catalogue.
constexpr int QRX_MSG_SET = 2;

struct QRX_Types_XOpenMessage;

enum QRX_MsgArgKind {
    QRX_ARG_TEXT = 1,    // text
    QRX_ARG_NUMBER = 2,  // number
    QRX_ARG_LIST = 3,    // list of texts (list, listLength)
    QRX_ARG_MESSAGE = 4  // an embedded message list, bound where it is shown
};

// One argument. As an input to qrx_msg_new / qrx_msg_add_arg the pointers are
// only read (build one with the qrx_arg_* helpers); inside a record they are
// owned by the record.
struct QRX_MsgArg {
    QRX_MsgArgKind kind;
    char* text;
    long number;
    char** list;
    size_t listLength;
    QRX_Types_XOpenMessage* message;
};

struct QRX_Types_XOpenMessageRecord {
    char* catalog;
    long number;
    char* defaultText;
    QRX_MsgArg* args;
    size_t argCount;
};

struct QRX_Types_XOpenMessage {
    QRX_Types_XOpenMessageRecord* records;
    size_t length;
};

// The name the installer's interfaces use for a message list.
typedef QRX_Types_XOpenMessage XOpenMessage;

// Argument views for qrx_msg_new; nothing is copied until the message is made.
QRX_MsgArg qrx_arg_text(const char* text);
QRX_MsgArg qrx_arg_number(long number);
QRX_MsgArg qrx_arg_list(const char* const* items, size_t count);
QRX_MsgArg qrx_arg_message(const QRX_Types_XOpenMessage* message);

// A new list of one record; catalog, defaultText and args are copied (null
// texts become empty ones).
QRX_Types_XOpenMessage* qrx_msg_new(const char* catalog, const char* defaultText, long number,
                                    const QRX_MsgArg* args, size_t argCount);
// A deep copy; null for null.
QRX_Types_XOpenMessage* qrx_msg_copy(const QRX_Types_XOpenMessage* list);
// Moves the records of `other` to the end of `list` and frees `other`.
void qrx_msg_append(QRX_Types_XOpenMessage* list, QRX_Types_XOpenMessage* other);
// Frees the list, its records and their arguments; null is ignored.
void qrx_msg_destroy(QRX_Types_XOpenMessage* list);

// The first record of catalogue `catalog` with `number`, or null.
QRX_Types_XOpenMessageRecord* qrx_msg_find(QRX_Types_XOpenMessage* list, const char* catalog,
                                           long number);
// Appends a copy of arg to the record's arguments.
void qrx_msg_add_arg(QRX_Types_XOpenMessageRecord* record, const QRX_MsgArg* arg);

// Flags of qrx_msg_bind.
constexpr int QRX_MSG_BIND_DEFAULT_TEXT = 1;  // ignore installed catalogues

// The formatted text of every record, one after the other with `separator`
// (null: nothing) between them; newly allocated. flags is 0 or
// QRX_MSG_BIND_DEFAULT_TEXT. A null list binds to null.
char* qrx_msg_bind(const QRX_Types_XOpenMessage* list, const char* separator, int flags);
