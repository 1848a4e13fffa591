#include "model/PortRange.h"

#include <cstdlib>

#include "framework/qrx_exception.h"
#include "framework/qrx_objects.h"

Str localPortRange() {
    static bool cached = false;
    static Str range;
    if (cached) return range;
    try {
        const QRX_Object* server = ms_get_local_objsrv();
        char* text = qrx_objcall(server, "cntl", "get_port_range");
        range = Str(text);
        free(text);
        cached = true;
    } catch (const QRX_Exception&) {
        return Str();
    }
    return range;
}
