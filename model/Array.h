// Array<T>: the ordered list of copies used for every list in the installer.
//
// A doubly linked chain of nodes with a remembered position (the cursor), so
// that walking a list by ascending or descending index costs one step per
// element. Every insertion allocates one node and every removal frees one;
// nothing is ever moved, so a reference to an element stays valid until that
// element is removed.
//
// Bad indexes never fail hard: reading or writing outside 0..length()-1
// yields a shared nil value of T (created on first use, never freed) after
// writing "Accessing nil value in <label>!" to standard error. Writing
// through that reference changes the shared nil value; callers test
// length() before indexing wherever the result matters.
//
// Each element type names its label with QS_ARRAY_LABEL in its own header.
#pragma once

#include <cstdint>
#include <iostream>

template <class T>
struct ArrayLabel;  // specialised by QS_ARRAY_LABEL for each element type

#define QS_ARRAY_LABEL(Type, Text)                  \
    template <>                                     \
    struct ArrayLabel<Type> {                       \
        static const char* label() { return Text; } \
    }

QS_ARRAY_LABEL(int, "ptArray.int");

template <class T>
class Array {
  public:
    Array() = default;
    Array(const Array& other) { ArrayCopy(other); }
    Array& operator=(const Array& other) {
        if (this != &other) {
            ArrayDelete();
            ArrayCopy(other);
        }
        return *this;
    }
    ~Array() { ArrayDelete(); }

    int32_t length() const { return count; }

    T& operator[](int32_t i) { return at(i); }
    const T& operator[](int32_t i) const { return at(i); }

    // i == 0 adds at the front, i outside 0..length()-1 appends; otherwise
    // the new element becomes element i and the cursor.
    Array& insert(const T& value, int32_t i) {
        if (i == 0) return push(value);
        if (i < 0 || i >= count) return put(value);
        Node* next = GetArrayRepAt(i);
        Node* n = new Node{value, next->prev, next};
        next->prev->next = n;
        next->prev = n;
        cursor = n;
        cursorIndex = i;
        ++count;
        return *this;
    }

    // Removes element i; outside the range nothing happens.
    Array& del(int32_t i) {
        if (i < 0 || i >= count) return *this;
        if (i == 0) {
            pop();
        } else if (i == count - 1) {
            pull();
        } else {
            Node* n = GetArrayRepAt(i);
            n->prev->next = n->next;
            n->next->prev = n->prev;
            cursor = n->next;
            cursorIndex = i;
            delete n;
            --count;
        }
        return *this;
    }

    // Adds a copy at the front; the cursor moves to it.
    Array& push(const T& value) {
        Node* n = new Node{value, nullptr, first};
        if (first) first->prev = n;
        first = n;
        if (!last) last = n;
        cursor = n;
        cursorIndex = 0;
        ++count;
        return *this;
    }

    // Appends a copy at the end; the cursor stays where it was unless the
    // array was empty. Lists keep the order in which elements were found.
    Array& put(const T& value) {
        Node* n = new Node{value, last, nullptr};
        if (last) {
            last->next = n;
        } else {
            first = n;
            cursor = n;
            cursorIndex = 0;
        }
        last = n;
        ++count;
        return *this;
    }

    // Remove and return the first (pop) or last (pull) element; on an empty
    // array they return a copy of the nil value. The cursor goes to the front.
    T pop() {
        if (!first) return GetNilValue();
        Node* n = first;
        T value = n->value;
        first = n->next;
        if (first) {
            first->prev = nullptr;
        } else {
            last = nullptr;
        }
        delete n;
        --count;
        resetCursor();
        return value;
    }

    T pull() {
        if (!last) return GetNilValue();
        Node* n = last;
        T value = n->value;
        last = n->prev;
        if (last) {
            last->next = nullptr;
        } else {
            first = nullptr;
        }
        delete n;
        --count;
        resetCursor();
        return value;
    }

    // Writes the nil message and returns the shared nil value.
    static T& GetNilValue() {
        std::cerr << "Accessing nil value in " << ArrayLabel<T>::label() << "!" << std::endl;
        static T* nil = new T();
        return *nil;
    }

  private:
    struct Node {
        T value;
        Node* prev;
        Node* next;
    };

    T& at(int32_t i) const {
        if (count == 0 || i < 0 || i >= count) return GetNilValue();
        Node* n = GetArrayRepAt(i);
        cursor = n;
        cursorIndex = i;
        return n->value;
    }

    // Node i (0 <= i < count), walked from whichever of cursor, front and
    // back is nearest.
    Node* GetArrayRepAt(int32_t i) const {
        int32_t d = cursorIndex - i;
        Node* n;
        int32_t steps;
        if (cursor && d <= 0 && -d <= i && -d <= count - i) {
            for (n = cursor, steps = -d; steps > 0; --steps) n = n->next;
        } else if (cursor && d > 0 && d <= i && d <= count - i) {
            for (n = cursor, steps = d; steps > 0; --steps) n = n->prev;
        } else if (i > count / 2) {
            for (n = last, steps = count - 1 - i; steps > 0; --steps) n = n->prev;
        } else {
            for (n = first, steps = i; steps > 0; --steps) n = n->next;
        }
        return n;
    }

    void resetCursor() {
        cursor = first;
        cursorIndex = 0;
    }

    void ArrayCopy(const Array& source) {
        for (int32_t i = 0; i < source.count; ++i) put(source[i]);
    }

    void ArrayDelete() {
        while (count > 0) pop();
    }

    Node* first = nullptr;
    Node* last = nullptr;
    // The read-only indexing moves the remembered position too.
    mutable Node* cursor = nullptr;
    int32_t count = 0;
    mutable int32_t cursorIndex = 0;
};
