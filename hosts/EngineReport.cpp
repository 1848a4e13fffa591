// The engine's error report without its bookkeeping: the "messages:"
// heading, the temporary script lines, and each script's start and
// completion lines around what the script wrote to its standard error.
#include <string>

#include "hosts/InstallHost.h"

namespace {

const std::string kMessages = "messages:\n";
const std::string kTempScript = "temp script:";
const std::string kStarting = "starting script: ";
const std::string kStderr = "script stderr: [";
const std::string kStderrEnd = "]\nscript complete: ";
const std::string kComplete = "script complete: ";

bool startsWith(const std::string& text, size_t at, const std::string& prefix) {
    return text.compare(at, prefix.size(), prefix) == 0;
}

// Position after the end of the line holding position at.
size_t afterLine(const std::string& text, size_t at) {
    size_t nl = text.find('\n', at);
    return nl == std::string::npos ? text.size() : nl + 1;
}

}  // namespace

Str NonCourierSpeak(const Str& engineErrors) {
    const std::string& text = engineErrors.str();
    std::string result = "\n";
    size_t at = 0;
    if (startsWith(text, at, kMessages)) at += kMessages.size();
    while (startsWith(text, at, kTempScript)) at = afterLine(text, at);
    for (;;) {
        size_t report = text.find(kStderr, at);
        if (report == std::string::npos) {
            result.append(text, at, std::string::npos);
            break;
        }
        size_t start = text.find(kStarting, at);
        result.append(text, at, (start < report ? start : report) - at);
        // The script's text follows the bracket, on its own line or not.
        size_t begin = report + kStderr.size();
        if (begin < text.size() && text[begin] == '\n') ++begin;
        size_t end = text.find(kStderrEnd, begin);
        if (end == std::string::npos) {
            result.append(text, begin, std::string::npos);
            break;
        }
        result.append(text, begin, end - begin);
        at = afterLine(text, text.find(kComplete, end));
    }
    return result == "\n" ? Str() : Str(result);
}
