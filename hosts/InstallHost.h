// The installer's picture of one target host: its name, its interpreter
// type (the architecture key of its configuration entries) and how it is
// reached.
#pragma once

#include "model/Str.h"

class InstallType;

enum AccessMethod { DEFAULT_ACCESS = 0, TRUSTED_HOST = 1, USER_PASSWORD = 2, SSH_ACCESS = 3 };

class InstallHost {
  public:
    InstallHost() = default;
    InstallHost(const Str& name, const char* type, const char* user, const char* password,
                AccessMethod access);
    virtual ~InstallHost() = default;

    const Str& getName() const { return name; }
    const Str& getType() const { return type; }

    virtual bool isW32() const;
    virtual bool isOS2() const;
    virtual bool isNW() const;

    // The type's architecture-specific subdirectory on this host: its
    // template translated for this host; empty when it has none.
    Str archSpecificPart(const InstallType& t) const;

  private:
    Str name;
    Str type;
    int enginePresent = 0;
    AccessMethod accessMethod = DEFAULT_ACCESS;
    Str hostUser;
    Str hostPassword;
};

QS_ARRAY_LABEL(InstallHost*, "ptArray.InstallHost_p");
