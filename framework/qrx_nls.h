// Translated texts: X/Open message catalogues for catalogued messages and
// the gettext domains for labels.
//
// Both follow the user's LC_MESSAGES locale, which qrx_client_init takes
// from the environment. Catalogues are found through NLSPATH as catopen
// does (for example NLSPATH=/opt/cat/%L/%N.cat); label domains through the
// C library's default locale directory unless the program binds another.
#pragma once

// Message `number` of `set` in the X/Open catalogue `catalog`, newly
// allocated, or null when the catalogue is not installed or lacks the
// message.
char* qrx_catalog_text(const char* catalog, int set, long number);

// The translation of label `text` in the gettext domain `domain`, or text
// itself when there is none. The result lives as long as text does (or for
// the rest of the process when it is a translation); null stays null.
const char* qrx_trans_string(const char* domain, const char* text);
