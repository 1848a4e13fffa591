#include "engine/Recording.h"

#include <string>

#include "engine/Args.h"
#include "engine/HostFailure.h"
#include "engine/InstalledLocations.h"
#include "engine/Timer.h"
#include "hosts/InstallHost.h"
#include "hosts/Status.h"
#include "model/Catalog.h"

namespace {

// The catalogue and the settings go between double quotes in the script.
Str quotesEscaped(Str text) {
    text.gsub("\"", "\\\"");
    return text;
}

// The settings reach the server through a here-document that strips a
// leading X from every line, so that no line of theirs can end it.
Str variablesText() {
    Str text = quotesEscaped(argInfo.config.dump());
    text.gsub("\n", "\nX");
    return text;
}

Str patchAliases(const Array<Str>& ids) {
    Str text;
    for (int i = 0; i < ids.length(); ++i) text += "\"" + ids[i] + "\" ";
    return text;
}

}  // namespace

Str fillRecordingScript(Str script) {
    const OperationInfo& index = runIndex();
    script.gsub("%Catalog%", quotesEscaped(index.catalog()));
    script.gsub("%Locations%", locationsText());
    script.gsub("%revision%", index.revision());
    script.gsub("%number_patch_aliases%", std::to_string(index.patchIds().length()));
    script.gsub("%patch_aliases%", patchAliases(index.patchIds()));
    script.gsub("%Variables%", variablesText());
    return script;
}

namespace {

// The generic recording script, translated for the server: the media
// record names the server's architecture, its name and the medium, which
// a translation without a host would leave empty.
Str recordingTemplate(const InstallHost& server) {
    const Configuration& config = argInfo.config;
    int index = 0, genericIndex = 0;
    if (!config.locate("generic", "SetAttrs", index, genericIndex)) return Str();
    return config.translate(&server, config.items()[index].value);
}

}  // namespace

void recordInstallation(InstallHost& server) {
    Str script = recordingTemplate(server);
    if (script.empty()) return;
    t.elapsed("Storing installation attributes.");
    script = fillRecordingScript(script);
    Str command = argInfo.config.translate(nullptr, "@Shell@") + " -x";
    statusCatalogMessage(36);
    Str output, errors;
    server.runCommand(command, script, output, errors, InstallHost::STRING_INPUT);
    // The record holds only what was installed: after a failure it is not
    // the whole of what was asked for.
    if (hostFailures.anyFailure())
        statusMessage(catalogMessage(InstallCatalog, 283));
    else
        statusCatalogMessage(66);
}
