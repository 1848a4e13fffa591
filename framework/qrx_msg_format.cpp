#include "framework/qrx_msg_format.h"

#include <cctype>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

// Argument number 0: every argument in turn.
constexpr size_t ALL_ARGS = 0;
// Larger numbers can only name missing arguments; clamping avoids overflow.
constexpr size_t MAX_ARG_NUMBER = 100000;

struct Conversion {
    size_t argNo = 0;
    bool left = false;
    bool zero = false;
    int width = 0;
    char letter = 0;
    std::string_view element;    // %I: the element format
    std::string_view separator;  // %I: the separator
    size_t end = 0;              // index just past the conversion
};

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Reads a run of digits at s[*i], clamped to `limit`.
size_t readNumber(std::string_view s, size_t* i, size_t limit) {
    size_t value = 0;
    while (*i < s.size() && isDigit(s[*i])) {
        value = value * 10 + size_t(s[*i] - '0');
        if (value > limit) value = limit;
        ++*i;
    }
    return value;
}

// Index of the '}' closing the '{' at s[open], or npos.
size_t closingBrace(std::string_view s, size_t open) {
    int level = 0;
    for (size_t i = open; i < s.size(); ++i) {
        if (s[i] == '{') {
            ++level;
        } else if (s[i] == '}' && --level == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

// Reads "{...}" at s[*i] into part; false when it is not there.
bool readBraced(std::string_view s, size_t* i, std::string_view* part) {
    if (*i >= s.size() || s[*i] != '{') return false;
    size_t close = closingBrace(s, *i);
    if (close == std::string_view::npos) return false;
    *part = s.substr(*i + 1, close - *i - 1);
    *i = close + 1;
    return true;
}

std::string pad(std::string text, const Conversion& c) {
    if (int(text.size()) >= c.width) return text;
    std::string fill(size_t(c.width) - text.size(), ' ');
    return c.left ? text + fill : fill + text;
}

std::string decimal(long number, const Conversion& c) {
    char buf[QRX_FORMAT_MAX_WIDTH + 32];
    const char* form = c.left ? "%-*ld" : (c.zero ? "%0*ld" : "%*ld");
    std::snprintf(buf, sizeof buf, form, c.width, number);
    return buf;
}

class Formatter {
  public:
    Formatter(const QRX_MsgArg* args, size_t argCount, const QrxMessageBinder& bind, int depth)
        : args_(args), argCount_(args ? argCount : 0), bind_(bind), depth_(depth) {}

    std::string run(std::string_view format) {
        std::string out;
        size_t i = 0;
        while (i < format.size()) {
            if (format[i] != '%') {
                out += format[i++];
                continue;
            }
            Conversion c;
            if (i + 1 < format.size() && format[i + 1] == '%') {
                out += '%';
                i += 2;
            } else if (parse(format, i, &c)) {
                out += render(c);
                i = c.end;
            } else {
                out += '%';
                ++i;
            }
        }
        return out;
    }

  private:
    // Parses the conversion starting with the '%' at s[start].
    bool parse(std::string_view s, size_t start, Conversion* c) {
        size_t i = start + 1;
        bool numbered = parseArgRef(s, &i, c);
        for (; i < s.size() && (s[i] == '-' || s[i] == '0'); ++i) {
            (s[i] == '-' ? c->left : c->zero) = true;
        }
        c->width = int(readNumber(s, &i, QRX_FORMAT_MAX_WIDTH));
        if (i >= s.size()) return false;
        c->letter = s[i++];
        switch (c->letter) {
            case 's':
            case 'd':
            case 'i':
            case 'M':
                break;
            case 'I':
                if (depth_ >= QRX_FORMAT_MAX_DEPTH) return false;
                if (!readBraced(s, &i, &c->element) || !readBraced(s, &i, &c->separator)) {
                    return false;
                }
                break;
            default:
                return false;
        }
        // Unnumbered conversions take the arguments in order.
        if (!numbered) c->argNo = nextArg_++;
        c->end = i;
        return true;
    }

    // "N$" or "$N" at s[*i]; leaves *i alone when neither is there.
    static bool parseArgRef(std::string_view s, size_t* i, Conversion* c) {
        size_t j = *i;
        if (j < s.size() && s[j] == '$' && j + 1 < s.size() && isDigit(s[j + 1])) {
            ++j;
            c->argNo = readNumber(s, &j, MAX_ARG_NUMBER);
            *i = j;
            return true;
        }
        size_t n = readNumber(s, &j, MAX_ARG_NUMBER);
        if (j > *i && j < s.size() && s[j] == '$') {
            c->argNo = n;
            *i = j + 1;
            return true;
        }
        return false;
    }

    std::string render(const Conversion& c) {
        if (c.letter == 'I') return renderList(c);
        if (c.argNo != ALL_ARGS) {
            const QRX_MsgArg* a = arg(c.argNo);
            return a ? renderOne(*a, c) : std::string();
        }
        std::string out;
        for (size_t k = 0; k < argCount_; ++k) out += renderOne(args_[k], c);
        return out;
    }

    std::string renderOne(const QRX_MsgArg& a, const Conversion& c) {
        if (c.letter == 'M') return textOf(a);
        if ((c.letter == 'd' || c.letter == 'i') && a.kind == QRX_ARG_NUMBER) {
            return decimal(a.number, c);
        }
        return pad(textOf(a), c);
    }

    std::string renderList(const Conversion& c) {
        std::vector<std::string> elements;
        if (c.argNo == ALL_ARGS) {
            for (size_t k = 0; k < argCount_; ++k) addElements(args_[k], &elements);
        } else if (const QRX_MsgArg* a = arg(c.argNo)) {
            addElements(*a, &elements);
        }
        std::string out;
        for (size_t k = 0; k < elements.size(); ++k) {
            if (k > 0) out += c.separator;
            QRX_MsgArg element = qrx_arg_text(elements[k].c_str());
            out += Formatter(&element, 1, bind_, depth_ + 1).run(c.element);
        }
        return out;
    }

    void addElements(const QRX_MsgArg& a, std::vector<std::string>* elements) {
        if (a.kind != QRX_ARG_LIST) {
            elements->push_back(textOf(a));
            return;
        }
        for (size_t k = 0; a.list && k < a.listLength; ++k) {
            elements->push_back(a.list[k] ? a.list[k] : "");
        }
    }

    std::string textOf(const QRX_MsgArg& a) {
        switch (a.kind) {
            case QRX_ARG_TEXT:
                return a.text ? a.text : "";
            case QRX_ARG_NUMBER:
                return std::to_string(a.number);
            case QRX_ARG_LIST: {
                std::string out;
                for (size_t k = 0; a.list && k < a.listLength; ++k) {
                    if (k > 0) out += ", ";
                    out += a.list[k] ? a.list[k] : "";
                }
                return out;
            }
            case QRX_ARG_MESSAGE:
                return a.message && bind_ ? bind_(a.message) : std::string();
        }
        return std::string();
    }

    const QRX_MsgArg* arg(size_t number) const {
        return number >= 1 && number <= argCount_ ? &args_[number - 1] : nullptr;
    }

    const QRX_MsgArg* args_;
    size_t argCount_;
    const QrxMessageBinder& bind_;
    int depth_;
    size_t nextArg_ = 1;
};

}  // namespace

std::string qrx_msg_format(const char* format, const QRX_MsgArg* args, size_t argCount,
                           const QrxMessageBinder& bindEmbedded) {
    if (!format) return std::string();
    return Formatter(args, argCount, bindEmbedded, 0).run(format);
}
