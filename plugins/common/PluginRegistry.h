// The library's registry key as the plug-ins read it.
#pragma once

#include <string>

namespace korvat_plugin {

// HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library, in the view of the plug-in's architecture.
extern const char LibraryKey[];

// A value of the key as text up to its first NUL; false when the key or the value is missing.
bool readLibraryString(const char *name, std::string &value);

}  // namespace korvat_plugin
