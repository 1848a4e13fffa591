#include "model/Message.h"

#include <cstdlib>
#include <ostream>
#include <vector>

Message::Message(QRX_Types_XOpenMessage* m, int adopt) : list_(adopt ? m : qrx_msg_copy(m)) {}

Message::Message(const char* catalog, const char* defaultText, long number, Array<Str> args) {
    std::vector<QRX_MsgArg> texts;
    for (int32_t i = 0; i < args.length(); ++i) texts.push_back(qrx_arg_text(args[i]));
    list_ = qrx_msg_new(catalog, defaultText, number, texts.data(), texts.size());
}

Message::Message(const Message& other) : list_(qrx_msg_copy(other.list_)) {}

Message& Message::operator=(const Message& other) {
    if (this != &other) {
        QRX_Types_XOpenMessage* copy = qrx_msg_copy(other.list_);
        qrx_msg_destroy(list_);
        list_ = copy;
    }
    return *this;
}

Message::~Message() {
    qrx_msg_destroy(list_);
}

void Message::add_msg(QRX_Types_XOpenMessage* m, int adopt) {
    if (!m) return;
    QRX_Types_XOpenMessage* added = adopt ? m : qrx_msg_copy(m);
    if (list_) {
        qrx_msg_append(list_, added);
    } else {
        list_ = added;
    }
}

void Message::add_msg(const Message& other) {
    add_msg(qrx_msg_copy(other.list_), 1);
}

char* Message::bound() const {
    return qrx_msg_bind(list_, nullptr, 0);
}

Str Message::bound_msg() const {
    char* text = bound();
    Str s(text);
    std::free(text);
    return s;
}

std::ostream& operator<<(std::ostream& out, const Message& m) {
    return out << m.bound_msg();
}
