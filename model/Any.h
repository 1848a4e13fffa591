// Any: the framework's self-describing value (a type code and a value),
// owned by value: copies are deep, made through the type code.
#pragma once

#include "framework/qrx_any.h"
#include "model/Array.h"
#include "model/Str.h"

class Any {
  public:
    // An any of the null type.
    Any();
    // An any of type tc holding value (a copy of it unless adopt).
    Any(void* value, const TypeCode* tc, int adopt);
    // A string any holding a copy of s.
    Any(const Str& s);
    // A QRX_Types::StringList holding the texts in order.
    Any(const Array<Str>& list);
    Any(const Any& other);
    Any& operator=(const Any& other);
    ~Any();

    const TypeCode* type() const { return any_->type; }
    const void* value() const { return any_->value; }
    // The framework any, owned by this Any.
    const QRX_Any* qrx_any() const { return any_; }

  private:
    QRX_Any* any_;
};

QS_ARRAY_LABEL(Any, "ptArray.Any");

// An any holding the sequence of the given anys, in order
// (QRX_Types::AnySequence).
Any ArrayAny2Any(const Array<Any>& list);
