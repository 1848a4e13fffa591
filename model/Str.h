// Str: the counted, value-semantic text string used throughout the installer,
// with SubStr (an assignable view of part of a Str) and Regex (a compiled
// POSIX extended regular expression).
//
// Searches take a start position; a negative start searches backwards from
// the end (-1: the last occurrence may end at the last character). No match
// gives an empty result (or -1 from index()).
#pragma once

#include <regex.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "model/Array.h"

class Str;

class Regex {
  public:
    explicit Regex(const char* pattern);
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;
    ~Regex();

    // First match starting at or after `start` (backwards for a negative
    // start); returns the position and sets len, or -1.
    int search(const std::string& text, int start, int& len) const;
    // The whole text matches.
    bool matchesAll(const std::string& text) const;
    bool ok() const { return ok_; }

  private:
    // Match beginning exactly at pos; its length or -1.
    int matchAt(const std::string& text, int pos) const;
    regex_t re_;
    bool ok_;
};

// A part of a Str. Converts to Str; assigning to a SubStr obtained from a
// non-const Str replaces that part of the underlying string.
class SubStr {
  public:
    SubStr(const SubStr&) = default;
    SubStr& operator=(const char* text);
    SubStr& operator=(const Str& text);
    SubStr& operator=(const SubStr& other);

    int length() const { return len_; }
    bool empty() const { return len_ == 0; }
    std::string text() const;

    friend bool operator==(const SubStr& a, const char* b) { return a.text() == (b ? b : ""); }
    friend bool operator!=(const SubStr& a, const char* b) { return !(a == b); }

  private:
    friend class Str;
    SubStr(Str* owner, const std::string* base, int pos, int len)
        : owner_(owner), base_(base), pos_(pos), len_(len) {}
    void replace(const std::string& text);
    SubStr detached() const { return SubStr(nullptr, base_, pos_, len_); }

    Str* owner_;  // null when the view came from a const Str
    const std::string* base_;
    int pos_;
    int len_;
};

class Str {
  public:
    Str() = default;
    Str(const char* text) : s_(text ? text : "") {}
    Str(const char* text, int len) : s_(text, size_t(len)) {}
    Str(const std::string& text) : s_(text) {}
    Str(const SubStr& sub) : s_(sub.text()) {}
    Str(char c) : s_(1, c) {}

    Str& operator=(const char* text) {
        s_ = text ? text : "";
        return *this;
    }
    Str& operator+=(const Str& other) {
        s_ += other.s_;
        return *this;
    }
    Str& operator+=(const char* text) {
        if (text) s_ += text;
        return *this;
    }
    Str& operator+=(char c) {
        s_ += c;
        return *this;
    }
    Str& prepend(const Str& other) {
        s_.insert(0, other.s_);
        return *this;
    }

    int length() const { return int(s_.size()); }
    bool empty() const { return s_.empty(); }
    operator const char*() const { return s_.c_str(); }
    const char* chars() const { return s_.c_str(); }
    const std::string& str() const { return s_; }

    // Bounds-tested element access; a bad index reports "invalid index".
    char& operator[](int i);
    char operator[](int i) const;
    char elem(int i) const { return (*this)[i]; }

    // Reports a string-library error on standard error.
    void error(const char* text) const;

    // len characters from pos (clipped to the string).
    SubStr at(int pos, int len) { return span(pos, len); }
    Str at(int pos, int len) const { return Str(span(pos, len)); }
    SubStr operator()(int pos, int len) { return span(pos, len); }
    Str operator()(int pos, int len) const { return Str(span(pos, len)); }

    // The first match of x at or after start.
    template <class X>
    SubStr at(const X& x, int start = 0) {
        int len = 0;
        int p = find(x, start, len);
        return p < 0 ? span(0, 0) : span(p, len);
    }

    template <class X>
    Str at(const X& x, int start = 0) const {
        return Str(const_cast<Str*>(this)->at(x, start).text());
    }

    // The part before, after, up to and including, or from the first match
    // of x (a character, a text, a Str or a Regex).
    template <class X>
    SubStr before(const X& x, int start = 0) {
        int len = 0;
        int p = find(x, start, len);
        return p < 0 ? span(0, 0) : span(0, p);
    }
    template <class X>
    SubStr after(const X& x, int start = 0) {
        int len = 0;
        int p = find(x, start, len);
        return p < 0 ? span(0, 0) : span(p + len, length() - p - len);
    }
    template <class X>
    SubStr through(const X& x, int start = 0) {
        int len = 0;
        int p = find(x, start, len);
        return p < 0 ? span(0, 0) : span(0, p + len);
    }
    template <class X>
    SubStr from(const X& x, int start = 0) {
        int len = 0;
        int p = find(x, start, len);
        return p < 0 ? span(0, 0) : span(p, length() - p);
    }
    template <class X>
    Str before(const X& x, int start = 0) const {
        return Str(const_cast<Str*>(this)->before(x, start).text());
    }
    template <class X>
    Str after(const X& x, int start = 0) const {
        return Str(const_cast<Str*>(this)->after(x, start).text());
    }
    template <class X>
    Str through(const X& x, int start = 0) const {
        return Str(const_cast<Str*>(this)->through(x, start).text());
    }
    template <class X>
    Str from(const X& x, int start = 0) const {
        return Str(const_cast<Str*>(this)->from(x, start).text());
    }

    // Position forms: the characters before pos, after pos, through pos,
    // and from pos.
    SubStr before(int pos) { return span(0, pos); }
    SubStr after(int pos) { return span(pos + 1, length() - pos - 1); }
    SubStr through(int pos) { return span(0, pos + 1); }
    SubStr from(int pos) { return span(pos, length() - pos); }
    Str before(int pos) const { return Str(const_cast<Str*>(this)->before(pos).text()); }
    Str after(int pos) const { return Str(const_cast<Str*>(this)->after(pos).text()); }
    Str through(int pos) const { return Str(const_cast<Str*>(this)->through(pos).text()); }
    Str from(int pos) const { return Str(const_cast<Str*>(this)->from(pos).text()); }

    // Deletes the first occurrence of c at or after start.
    Str& del(char c, int start = 0);
    // Deletes len characters at pos.
    Str& del(int pos, int len);

    // Replaces every non-overlapping occurrence, left to right, without
    // rescanning replacements; returns the number of replacements.
    int gsub(const Str& pattern, const Str& replacement);
    int gsub(const Regex& pattern, const Str& replacement);

    template <class X>
    bool contains(const X& x) const {
        return index(x) >= 0;
    }
    template <class X>
    int index(const X& x, int start = 0) const {
        int len = 0;
        return find(x, start, len);
    }
    bool matches(const Regex& r) const { return r.matchesAll(s_); }
    int freq(char c) const;

    friend int compare(const Str& a, const Str& b) { return a.s_.compare(b.s_); }
    friend int compare(const Str& a, const char* b) { return a.s_.compare(b ? b : ""); }
    friend bool operator==(const Str& a, const Str& b) { return a.s_ == b.s_; }
    friend bool operator==(const Str& a, const char* b) { return a.s_ == (b ? b : ""); }
    friend bool operator==(const char* a, const Str& b) { return b == a; }
    friend bool operator!=(const Str& a, const Str& b) { return !(a == b); }
    friend bool operator!=(const Str& a, const char* b) { return !(a == b); }
    friend bool operator!=(const char* a, const Str& b) { return !(b == a); }
    friend bool operator<(const Str& a, const Str& b) { return a.s_ < b.s_; }

  private:
    friend class SubStr;
    SubStr span(int pos, int len);
    SubStr span(int pos, int len) const {
        return const_cast<Str*>(this)->span(pos, len).detached();
    }

    int find(char c, int start, int& len) const;
    int find(const char* text, int start, int& len) const { return findText(text, start, len); }
    int find(const Str& text, int start, int& len) const { return findText(text.s_, start, len); }
    int find(const Regex& r, int start, int& len) const { return r.search(s_, start, len); }
    int findText(const std::string& text, int start, int& len) const;

    std::string s_;
};

inline Str operator+(const Str& a, const Str& b) {
    Str r(a);
    r += b;
    return r;
}
inline Str operator+(const Str& a, const char* b) {
    Str r(a);
    r += b;
    return r;
}
inline Str operator+(const char* a, const Str& b) {
    Str r(a);
    r += b;
    return r;
}
inline Str operator+(const Str& a, char b) {
    Str r(a);
    r += b;
    return r;
}

std::ostream& operator<<(std::ostream& out, const Str& s);
std::ostream& operator<<(std::ostream& out, const SubStr& s);

// Reads characters up to `terminator` into str, dropping the terminator
// when discard is set. Returns the number of characters consumed (the
// terminator included), 0 at end of input.
int readline(std::istream& in, Str& str, char terminator = '\n', int discard = 1);

// The decimal number at the start of text as atoll reads it (blanks, a
// sign, digits; 0 when there is none), held at the 64-bit limits instead of
// overflowing.
std::int64_t decimalPrefix(const Str& text);

// text as one word of a Bourne shell command line: between single quotes,
// each single quote of its own written as '\''. Nothing in it is then
// expanded, split or run by the shell.
Str shellWord(const Str& text);

QS_ARRAY_LABEL(Str, "ptArray.Str");
