#include "model/Str.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

Regex::Regex(const char* pattern) {
    ok_ = regcomp(&re_, pattern, REG_EXTENDED) == 0;
    if (!ok_) fprintf(stderr, "Str: bad regular expression `%s'\n", pattern);
}

Regex::~Regex() {
    if (ok_) regfree(&re_);
}

int Regex::matchAt(const std::string& text, int pos) const {
    regmatch_t m;
    int flags = pos > 0 ? REG_NOTBOL : 0;
    if (regexec(&re_, text.c_str() + pos, 1, &m, flags) != 0 || m.rm_so != 0) return -1;
    return int(m.rm_eo);
}

int Regex::search(const std::string& text, int start, int& len) const {
    if (!ok_) return -1;
    int n = int(text.size());
    if (start >= 0) {
        if (start > n) return -1;
        regmatch_t m;
        int flags = start > 0 ? REG_NOTBOL : 0;
        if (regexec(&re_, text.c_str() + start, 1, &m, flags) != 0) return -1;
        len = int(m.rm_eo - m.rm_so);
        return start + int(m.rm_so);
    }
    for (int p = n + start; p >= 0; --p) {
        int l = matchAt(text, p);
        if (l >= 0) {
            len = l;
            return p;
        }
    }
    return -1;
}

bool Regex::matchesAll(const std::string& text) const {
    if (!ok_) return false;
    regmatch_t m;
    return regexec(&re_, text.c_str(), 1, &m, 0) == 0 && m.rm_so == 0 &&
           size_t(m.rm_eo) == text.size();
}

std::string SubStr::text() const {
    return base_->substr(size_t(pos_), size_t(len_));
}

void SubStr::replace(const std::string& text) {
    if (!owner_) {
        fprintf(stderr, "Str: assignment to a substring of a constant string\n");
        abort();
    }
    owner_->s_.replace(size_t(pos_), size_t(len_), text);
    len_ = int(text.size());
}

SubStr& SubStr::operator=(const char* text) {
    replace(text ? text : "");
    return *this;
}

SubStr& SubStr::operator=(const Str& text) {
    replace(text.str());
    return *this;
}

SubStr& SubStr::operator=(const SubStr& other) {
    replace(other.text());
    return *this;
}

SubStr Str::span(int pos, int len) {
    int n = length();
    if (pos < 0) pos = 0;
    if (pos > n) pos = n;
    if (len < 0) len = 0;
    if (len > n - pos) len = n - pos;
    return SubStr(this, &s_, pos, len);
}

void Str::error(const char* text) const {
    std::cerr << "Str: " << text << std::endl;
}

char& Str::operator[](int i) {
    if (i < 0 || i >= length()) {
        error("invalid index");
        static char nil;
        nil = '\0';
        return nil;
    }
    return s_[size_t(i)];
}

char Str::operator[](int i) const {
    if (i < 0 || i >= length()) {
        error("invalid index");
        return '\0';
    }
    return s_[size_t(i)];
}

int Str::find(char c, int start, int& len) const {
    len = 1;
    int n = length();
    if (start >= 0) {
        if (start >= n) return -1;
        size_t p = s_.find(c, size_t(start));
        return p == std::string::npos ? -1 : int(p);
    }
    if (n + start < 0) return -1;
    size_t p = s_.rfind(c, size_t(n + start));
    return p == std::string::npos ? -1 : int(p);
}

int Str::findText(const std::string& text, int start, int& len) const {
    len = int(text.size());
    int n = length();
    if (start >= 0) {
        if (start > n) return -1;
        size_t p = s_.find(text, size_t(start));
        return p == std::string::npos ? -1 : int(p);
    }
    // Backwards: the match may end at position n + start at the latest.
    int last = n + start - len + 1;
    if (last < 0) return -1;
    size_t p = s_.rfind(text, size_t(last));
    return p == std::string::npos ? -1 : int(p);
}

Str& Str::del(char c, int start) {
    int len = 0;
    int p = find(c, start, len);
    if (p >= 0) s_.erase(size_t(p), 1);
    return *this;
}

Str& Str::del(int pos, int len) {
    SubStr part = span(pos, len);
    part = "";
    return *this;
}

int Str::gsub(const Str& pattern, const Str& replacement) {
    if (pattern.empty()) return 0;
    std::string out;
    int count = 0;
    size_t at = 0;
    for (size_t p; (p = s_.find(pattern.s_, at)) != std::string::npos; at = p + pattern.s_.size()) {
        out.append(s_, at, p - at).append(replacement.s_);
        ++count;
    }
    if (count == 0) return 0;
    out.append(s_, at, std::string::npos);
    s_.swap(out);
    return count;
}

int Str::gsub(const Regex& pattern, const Str& replacement) {
    std::string out;
    int count = 0;
    int at = 0;
    int len = 0;
    for (int p; at <= length() && (p = pattern.search(s_, at, len)) >= 0;) {
        out.append(s_, size_t(at), size_t(p - at)).append(replacement.s_);
        ++count;
        // An empty match must still advance, copying one character.
        if (len == 0) {
            if (p < length()) out += s_[size_t(p)];
            at = p + 1;
        } else {
            at = p + len;
        }
    }
    if (count == 0) return 0;
    if (at < length()) out.append(s_, size_t(at), std::string::npos);
    s_.swap(out);
    return count;
}

int Str::freq(char c) const {
    int n = 0;
    for (char x : s_) n += x == c;
    return n;
}

std::ostream& operator<<(std::ostream& out, const Str& s) {
    return out << s.str();
}
std::ostream& operator<<(std::ostream& out, const SubStr& s) {
    return out << s.text();
}

int readline(std::istream& in, Str& str, char terminator, int discard) {
    std::string line;
    int consumed = 0;
    for (int c; (c = in.get()) != EOF;) {
        ++consumed;
        if (char(c) == terminator) {
            if (!discard) line += char(c);
            break;
        }
        line += char(c);
    }
    str = Str(line);
    return consumed;
}

std::int64_t decimalPrefix(const Str& text) {
    // strtoll stops at its limits instead of overflowing.
    return std::strtoll(text.chars(), nullptr, 10);
}

Str shellWord(const Str& text) {
    Str quoted("'");
    for (char c : text.str()) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}
