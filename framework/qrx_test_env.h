// Test helper: sets or clears an environment variable for one scope and
// restores the previous value afterwards.
#pragma once

#include <cstdlib>
#include <string>

class ScopedEnv {
  public:
    // value null: the variable is removed for the scope.
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (old) old_ = old;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (hadOld_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};
