// The error pair a reader core reports, as its plug-in hands it to the library.
#pragma once

#include <cstdint>

namespace reader {

// (error code, detail code); code 0: no error.
struct Error {
    uint32_t code = 0;
    uint32_t detail = 0;
};

inline bool fail(Error &error, uint32_t code, uint32_t detail)
{
    error.code = code;
    error.detail = detail;
    return false;
}

}  // namespace reader
