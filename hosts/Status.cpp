#include "hosts/Status.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "framework/qrx_msg.h"
#include "framework/qrx_nls.h"
#include "model/Catalog.h"
#include "model/DebugLog.h"
#include "model/LineTag.h"
#include "model/Message.h"

namespace {

StatusCallback currentCallback = default_status_callback;
std::ostream* statusStream = &std::cerr;

TaggedLines& threadLines() {
    thread_local TaggedLines lines;
    return lines;
}

void show(const std::string& text) {
    if (currentCallback && !text.empty()) currentCallback(text.c_str());
}

}  // namespace

void status(const char* text) {
    dbFile << "[" << text << "]" << std::endl;
    const std::string& tag = lineTag();
    if (tag.empty()) {
        if (currentCallback) currentCallback(text);
        return;
    }
    show(threadLines().add(text, strlen(text), tag));
}

void endTaggedStatusLine() {
    show(threadLines().rest(lineTag()));
}

void statusMessage(const Message& m) {
    char* text = m.bound();
    if (!text) {
        dbFile << "Bad null Message!" << std::endl;
        return;
    }
    status(text);
    free(text);
}

void statusCatalogMessage(int n) {
    char* text = qrx_catalog_text(InstallOpsCatalog.name, QRX_MSG_SET, n);
    status(text ? text : InstallOpsCatalog.text(n));
    free(text);
}

StatusCallback set_status_callback(StatusCallback fn) {
    StatusCallback previous = currentCallback;
    currentCallback = fn;
    return previous;
}

std::ostream* set_status_stream(std::ostream* stream) {
    std::ostream* previous = statusStream;
    statusStream = stream;
    return previous;
}

void default_status_callback(const char* text) {
    if (!statusStream) return;
    *statusStream << text;
    statusStream->flush();
}
