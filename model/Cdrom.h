// The installation medium: a directory tree on some host of the network.
#pragma once

#include "model/Str.h"

class Cdrom {
  public:
    Cdrom() = default;
    Cdrom(const Str& host, const Str& path) : host_(host), path_(path) {}

    const Str& host() const { return host_; }
    const Str& path() const { return path_; }
    // host:path of an open medium, "(null)" otherwise.
    Str name() const { return host_.empty() ? Str("(null)") : host_ + ":" + path_; }

  private:
    Str host_;      // host that holds the medium
    Str path_;      // directory of the medium on that host
    Str password_;  // empty: trusted-host access
};
