// --help and --version, the two long options every program of the
// installer knows. Their short options keep the meanings they always had,
// so the long ones are recognised only where an option may stand: not as
// the value of an option that takes one, and not after "--".
#pragma once

#include <cstdio>
#include <cstring>

enum class LongOption { NONE, HELP, VERSION };

// The first --help or --version among argv[1..argc-1]; shortOptions is the
// program's getopt string (a letter followed by ':' takes a value).
inline LongOption longOption(int argc, char* const* argv, const char* shortOptions) {
    for (int i = 1; i < argc && argv[i]; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--") == 0) break;
        if (std::strcmp(a, "--help") == 0) return LongOption::HELP;
        if (std::strcmp(a, "--version") == 0) return LongOption::VERSION;
        if (a[0] != '-' || a[1] == '\0' || a[1] == '-') continue;
        // A cluster of letters; the first that takes a value ends it, and
        // when nothing follows it in the word, the next word is its value.
        for (const char* p = a + 1; *p; ++p) {
            const char* spec = std::strchr(shortOptions, *p);
            if (spec && *p != ':' && spec[1] == ':') {
                if (p[1] == '\0') ++i;
                break;
            }
        }
    }
    return LongOption::NONE;
}

// Answers a --help (through help, given argv[0]) or --version among the arguments on
// standard output, without any other work. Returns the status to exit
// with (writeFailed when standard output took the answer badly), or -1
// when neither was given.
inline int answerLongOption(int argc, char* const* argv, const char* shortOptions,
                            const char* program, const char* version,
                            void (*help)(const char* argv0), int writeFailed) {
    switch (longOption(argc, argv, shortOptions)) {
        case LongOption::HELP:
            help(argv[0]);
            break;
        case LongOption::VERSION:
            std::printf("%s (quillset) %s\n", program, version);
            break;
        case LongOption::NONE:
            return -1;
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : writeFailed;
}
