// The built-in configuration text: ten strings and a null entry, joined
// without separators by Configuration::addData(char**). Added before
// anything named on the command line, so user files override any entry.
#pragma once

extern char* config_data[];
