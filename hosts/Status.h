// Status lines: the progress the install core reports to its front end.
// Each line is echoed to the debug log and handed to the current callback;
// the command line writes it to the status stream, the window front end
// installs a callback of its own.
#pragma once

#include <ostream>

class Message;

typedef void (*StatusCallback)(const char* text);

// Writes "[text]" to the debug log, then calls the status callback; a
// thread with a line tag (LineTag.h) hands it whole tagged lines only.
void status(const char* text);
// Hands on this thread's unfinished tagged status line, ended.
void endTaggedStatusLine();
// Formats m and shows it; an empty message logs "Bad null Message!".
void statusMessage(const Message& m);
// Shows message n of InstallOpsCatalog as it stands in the catalogue
// (translated when a catalogue is installed), without arguments.
void statusCatalogMessage(int n);

// Each returns the previous value. The stream starts as standard error; a
// null stream silences the default callback.
StatusCallback set_status_callback(StatusCallback fn);
std::ostream* set_status_stream(std::ostream* stream);

// Writes the text to the status stream and flushes it.
void default_status_callback(const char* text);
