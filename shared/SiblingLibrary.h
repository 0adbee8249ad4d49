// One of our DLLs as another DLL of ours finds it (the tag library its main DLL, the stdcall
// companion both): the copy already loaded in the process (an application that linked or loaded
// it), or else the one in the calling DLL's own directory, which a host that loads us by full
// name from a directory off its search path needs. Linked into each DLL that uses it (library
// korvat_shared), so that "own directory" is that DLL's.
#pragma once

#include <windows.h>

// The DLL `fileName` with a reference of the caller's own, whether it was loaded already or this
// call loaded it from beside the calling DLL (then *loadedNow, when given, is set); null when it
// is neither loaded nor beside the calling DLL (GetLastError says why). The caller gives the
// reference back with FreeLibrary, never from DllMain.
HMODULE referenceSiblingLibrary(const wchar_t *fileName, bool *loadedNow = nullptr);
