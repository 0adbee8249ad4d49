// What the loader's check of one candidate plug-in file found, step by step: the library's
// loader fills it, and the plug-in checker reports it.
#pragma once

#include <windows.h>

#include <cstdint>

typedef uint8_t PortCategory;

// refusedAt names the step that refused the file.
struct PluginCandidate {
    enum Step { Accepted, Signature, Memory, Load, Bind, Version, Category };
    Step refusedAt = Accepted;
    DWORD loadError = 0;     // GetLastError() after LoadLibrary failed; ERROR_FILE_INVALID when
                             // the module loaded was not the file checked
    int32_t version = 0;     // as gp_get_version_number left it
    PortCategory category = 0;
};
