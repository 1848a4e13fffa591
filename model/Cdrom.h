// The installation medium: a directory tree on some host of the network,
// read through an install host object of that host.
#pragma once

#include <memory>

#include "model/FilePack.h"
#include "model/Str.h"

class InstallHost;

// The framework's description of a medium.
struct QRX_Install_MediaInfo {
    Str kind;  // "cdrom", "tape", or the interpreter type of the host
    Str host;
    Str path;
};

class Cdrom {
  public:
    Cdrom();
    // A named medium that is not opened: its host and path only.
    Cdrom(const Str& host, const Str& path);
    // Opens the medium (server phase rules of the run's kind).
    Cdrom(const Str& host, const Str& path, const Str& password);
    // An open medium is opened again on the copy, handing on its host's
    // interpreter type; an unopened one is copied as it is.
    Cdrom(const Cdrom& other);
    Cdrom& operator=(const Cdrom& other);
    ~Cdrom();

    // spec: "host:path" or a bare path (also a drive path such as "c:/x").
    int reset(const Str& spec, Phase phase);
    int reset(const QRX_Install_MediaInfo& info, Phase phase);
    // 1 when the medium is open. hostType, when not null, is the medium
    // host's interpreter type, so its type test is skipped.
    int reset(const Str& host, const Str& path, const Str& password, const char* hostType,
              Phase phase);

    // The listing files and index files of the medium directory; empty
    // when the medium is not open.
    void getContents(Str& out) const;
    void getPatches(Str& out) const;
    // name, with ".IND" appended unless it ends in it.
    void getIndex(const Str& name, Str& out) const;

    bool isOpen() const { return hostObject_ != nullptr; }
    // The host object through which the medium is read; null when not open.
    InstallHost* hostObject() const { return hostObject_.get(); }
    const Str& host() const { return host_; }
    const Str& path() const { return path_; }
    // host:path; "(null)" for a medium without a host.
    Str name() const;

  private:
    void readListing(const char* file, Str& out) const;

    Str host_;      // host that holds the medium
    Str path_;      // directory of the medium on that host
    Str password_;  // empty: trusted-host access
    std::unique_ptr<InstallHost> hostObject_;
};
