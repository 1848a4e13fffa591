// Message: a catalogued message, or a list of them, kept unformatted so that
// failures can be collected per host and shown later in the user's language.
//
// Value semantics: copies hold their own copy of the framework list. An
// empty Message holds nothing and binds to null.
#pragma once

#include <iosfwd>

#include "framework/qrx_msg.h"
#include "model/Array.h"
#include "model/Str.h"

class Message {
  public:
    Message() = default;
    // Holds m when adopt is non-zero, else a copy of m.
    Message(QRX_Types_XOpenMessage* m, int adopt);
    // One message of catalog with its default text; every element of args is
    // a text argument, in order.
    Message(const char* catalog, const char* defaultText, long number, Array<Str> args);
    Message(const Message& other);
    Message& operator=(const Message& other);
    ~Message();

    QRX_Types_XOpenMessage* qrx_msg() { return list_; }
    const QRX_Types_XOpenMessage* qrx_msg() const { return list_; }

    // Appends the records of m (of a copy of m when adopt is 0); when nothing
    // is held, m becomes the held list.
    void add_msg(QRX_Types_XOpenMessage* m, int adopt);
    void add_msg(const Message& other);

    // The formatted text of the whole list, newly allocated (free() it);
    // null for an empty message.
    char* bound() const;
    // The same as a Str; empty for an empty message.
    Str bound_msg() const;

  private:
    QRX_Types_XOpenMessage* list_ = nullptr;
};

std::ostream& operator<<(std::ostream& out, const Message& m);
