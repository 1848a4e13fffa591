#include "model/Any.h"

#include <vector>

Any::Any() : any_(qrx_any_new(&QRX_tc_null, nullptr, 1)) {}

Any::Any(void* value, const TypeCode* tc, int adopt) : any_(qrx_any_new(tc, value, adopt)) {}

Any::Any(const Str& s) : any_(qrx_any_new(&QRX_tc_string, const_cast<char*>(s.chars()), 0)) {}

Any::Any(const Array<Str>& list) {
    std::vector<const char*> texts;
    for (int32_t i = 0; i < list.length(); ++i) texts.push_back(list[i]);
    any_ = qrx_any_new(&QRX_Types_tc_StringList, qrx_stringlist_new(texts.data(), texts.size()), 1);
}

Any::Any(const Any& other) : any_(qrx_any_copy(other.any_)) {}

Any& Any::operator=(const Any& other) {
    if (this != &other) {
        QRX_Any* copy = qrx_any_copy(other.any_);
        qrx_any_destroy(any_);
        any_ = copy;
    }
    return *this;
}

Any::~Any() {
    qrx_any_destroy(any_);
}

Any ArrayAny2Any(const Array<Any>& list) {
    std::vector<const QRX_Any*> items;
    for (int32_t i = 0; i < list.length(); ++i) items.push_back(list[i].qrx_any());
    return Any(qrx_anyseq_new(items.data(), items.size()), &QRX_tc_AnySequence, 1);
}
