// While hosts are installed side by side, every debug-log and status line
// a host's worker writes is a whole line that starts with the host's tag
// ("name: "). Each thread gathers its text until a line end, so lines of
// two hosts never mix; without a tag text passes through unchanged.
#pragma once

#include <cstddef>
#include <string>

// Sets this thread's tag for its lifetime; an empty tag tags nothing.
class LineTag {
  public:
    explicit LineTag(const std::string& tag);
    ~LineTag();
    LineTag(const LineTag&) = delete;
    LineTag& operator=(const LineTag&) = delete;

  private:
    std::string previous_;
};

// This thread's tag; empty outside a parallel step.
const std::string& lineTag();

// One thread's unfinished line of one output.
class TaggedLines {
  public:
    // Adds text; returns the whole lines it completes, each after tag.
    std::string add(const char* text, std::size_t n, const std::string& tag);
    // The unfinished line, ended and after tag; empty when there is none.
    std::string rest(const std::string& tag);

  private:
    std::string pending_;
};
