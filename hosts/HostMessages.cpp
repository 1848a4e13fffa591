#include "hosts/HostMessages.h"

#include "engine/HostFailure.h"
#include "model/Catalog.h"

Message installMessage(long n, std::initializer_list<Str> args) {
    Array<Str> a;
    for (const Str& s : args) a.put(s);
    return catalogMessage(InstallCatalog, n, a);
}

void recordFailure(const Str& host, long n, std::initializer_list<Str> args) {
    hostFailures.addFailure(host, installMessage(n, args));
}
