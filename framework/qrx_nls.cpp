#include "framework/qrx_nls.h"

#include <libintl.h>
#include <nl_types.h>

#include <climits>

#include "framework/qrx_mem.h"

char* qrx_catalog_text(const char* catalog, int set, long number) {
    if (!catalog || !*catalog || number < 1 || number > INT_MAX) return nullptr;
    nl_catd cd = catopen(catalog, NL_CAT_LOCALE);
    if (cd == reinterpret_cast<nl_catd>(-1)) return nullptr;
    // catgets hands back its last argument when the message is missing.
    static const char missing[] = "";
    const char* text = catgets(cd, set, int(number), missing);
    char* copy = text == missing ? nullptr : qrx_strdup(text);
    catclose(cd);
    return copy;
}

const char* qrx_trans_string(const char* domain, const char* text) {
    if (!text || !domain || !*text) return text;
    return dgettext(domain, text);
}
