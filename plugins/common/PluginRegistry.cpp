#include "PluginRegistry.h"

#include <windows.h>

#include <vector>

#include "NfcRegistryList.h"

namespace korvat_plugin {

const char LibraryKey[] = "SOFTWARE\\Ravo Corporation\\Korvat NFC Library";

bool readLibraryString(const char *name, std::string &value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LibraryKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        std::vector<char> buffer(size + 1, '\0');
        ok = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer.data()), &size) ==
             ERROR_SUCCESS;
        value = ok ? std::string(buffer.data()) : std::string();
    }
    RegCloseKey(key);
    return ok;
}

std::vector<std::string> configuredPortNames()
{
    // The library's limits of port_name_list.
    const size_t mostCharacters = 512;
    const size_t mostItems = 32;
    std::string list;
    std::vector<std::string> items, names;
    if (readLibraryString("port_name_list", list)) {
        NfcRegistryList::parse(list, mostCharacters, items);
    }
    for (size_t i = 0; i < items.size() && i < mostItems; ++i) {
        if (!items[i].empty()) {
            names.push_back(items[i]);
        }
    }
    return names;
}

}  // namespace korvat_plugin
