// Writes the data files an installation carries for administrators to
// copy: the built-in configuration as text (a complete configuration for
// quillset_cli -z) and the message catalogues' default texts as gencat
// sources. Run by the build; usage: write_data DIRECTORY.
#include <cstdio>
#include <string>

#include "framework/qrx_msg.h"
#include "model/Catalog.h"
#include "model/config_data.h"

namespace {

bool writeFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) std::perror(path.c_str());
    return ok;
}

std::string configurationText() {
    std::string text;
    for (char** p = config_data; *p; ++p) text += *p;
    return text;
}

// A message as gencat reads it between quotes.
std::string quoted(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        switch (*p) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += *p;
        }
    }
    return out + "\"";
}

std::string catalogueSource(const Catalog& catalog) {
    std::string text = "$ " + std::string(catalog.name) +
                       ": the installer's default texts. A translation keeps the\n"
                       "$ numbers and the %n$s argument marks; compile it with gencat.\n"
                       "$quote \"\n"
                       "$set " +
                       std::to_string(QRX_MSG_SET) + "\n";
    for (long i = 0; i < catalog.entryCount; ++i)
        text += std::to_string(catalog.entries[i].number) + " " + quoted(catalog.entries[i].text) +
                "\n";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = writeFile(dir + "/quillset.cfg", configurationText());
    for (const Catalog* c : {&InstallOpsCatalog, &InstallCatalog})
        ok = writeFile(dir + "/" + c->name + ".msg", catalogueSource(*c)) && ok;
    return ok ? 0 : 1;
}
