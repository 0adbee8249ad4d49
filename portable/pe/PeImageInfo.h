// The few facts of a Windows PE image's headers that decide which process may load it: the
// machine, PE32 or PE32+, and whether it is a DLL. Pure code: reads only inside the given bytes,
// any bytes and any size may be handed over.
#pragma once

#include <cstddef>
#include <cstdint>

enum class PeImageError {
    None,
    NoDosHeader,        // shorter than the 64-byte DOS header, or no "MZ"
    NtHeadersOutside,   // e_lfanew points past the end (or the file header is cut short)
    NoPeSignature,      // no "PE\0\0" where e_lfanew points
    NoOptionalHeader,   // the optional header is absent or cut short
};

struct PeImageInfo {
    PeImageError error = PeImageError::NoDosHeader;
    uint16_t machine = 0;          // IMAGE_FILE_MACHINE_* of the file header
    uint16_t characteristics = 0;  // IMAGE_FILE_* flags of the file header
    uint16_t optionalMagic = 0;    // 0x10B PE32, 0x20B PE32+, anything else is unknown

    bool valid() const { return error == PeImageError::None; }
    bool isDll() const { return (characteristics & DllFlag) != 0; }
    // x86, x64, arm64, arm or null for a machine this table does not know.
    const char *architecture() const;
    // "PE32", "PE32+" or null.
    const char *format() const;
    // PE32 with a 32-bit machine, PE32+ with a 64-bit one.
    bool formatMatchesMachine() const;

    static constexpr uint16_t MachineX86 = 0x014C;
    static constexpr uint16_t MachineX64 = 0x8664;
    static constexpr uint16_t MachineArm = 0x01C4;
    static constexpr uint16_t MachineArm64 = 0xAA64;
    static constexpr uint16_t MagicPe32 = 0x010B;
    static constexpr uint16_t MagicPe32Plus = 0x020B;
    static constexpr uint16_t DllFlag = 0x2000;
};

class PeImage {
public:
    static PeImageInfo read(const uint8_t *data, size_t size);
    // A short English description of an error, for reports.
    static const char *describe(PeImageError error);

    // Layout of the headers read here.
    static constexpr size_t DosHeaderSize = 64;
    static constexpr size_t NtHeadersOffsetField = 0x3C;  // e_lfanew, 32-bit
    static constexpr size_t SignatureSize = 4;
    static constexpr size_t FileHeaderSize = 20;
    static constexpr size_t MachineField = 0;              // in the file header
    static constexpr size_t OptionalHeaderSizeField = 16;
    static constexpr size_t CharacteristicsField = 18;
};
