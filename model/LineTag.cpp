#include "model/LineTag.h"

namespace {

thread_local std::string currentTag;

}  // namespace

LineTag::LineTag(const std::string& tag) : previous_(currentTag) {
    currentTag = tag;
}

LineTag::~LineTag() {
    currentTag = previous_;
}

const std::string& lineTag() {
    return currentTag;
}

std::string TaggedLines::add(const char* text, std::size_t n, const std::string& tag) {
    std::string whole;
    for (std::size_t i = 0; i < n; ++i) {
        pending_ += text[i];
        if (text[i] != '\n') continue;
        whole += tag;
        whole += pending_;
        pending_.clear();
    }
    return whole;
}

std::string TaggedLines::rest(const std::string& tag) {
    if (pending_.empty()) return std::string();
    std::string line = tag + pending_ + "\n";
    pending_.clear();
    return line;
}
