// The library's registry key as the plug-ins read it.
#pragma once

#include <string>
#include <vector>

namespace korvat_plugin {

// HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library, in the view of the plug-in's architecture.
extern const char LibraryKey[];

// A value of the key as text up to its first NUL; false when the key or the value is missing.
bool readLibraryString(const char *name, std::string &value);

// The names of port_name_list, split and cut as the library reads them (empty items left out).
std::vector<std::string> configuredPortNames();

}  // namespace korvat_plugin
