// The installer's message catalogues: for each, its name and the default
// text of every message number, used when no translation is installed.
#pragma once

#include <initializer_list>

#include "model/Array.h"
#include "model/Message.h"
#include "model/Str.h"

struct CatalogEntry {
    long number;
    const char* text;
};

struct Catalog {
    const char* name;
    long count;                   // messages are numbered 1..count
    const CatalogEntry* entries;  // the numbers that have a text, ascending
    long entryCount;

    // The default text of number, or "" when that number has none.
    const char* text(long number) const;
};

// Progress and to-do texts.
extern const Catalog InstallOpsCatalog;
// Failure texts, window labels and texts shown on hosts.
extern const Catalog InstallCatalog;

// Message number of catalog with its default text and args as text
// arguments.
Message catalogMessage(const Catalog& catalog, long number, Array<Str> args = Array<Str>());
Message catalogMessage(const Catalog& catalog, long number, std::initializer_list<Str> args);
