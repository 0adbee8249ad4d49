#include "PeImageInfo.h"
#include "PeBytes.h"

using pe_bytes::little16;
using pe_bytes::little32;

PeImageInfo PeImage::read(const uint8_t *data, size_t size)
{
    PeImageInfo info;
    if (data == nullptr || size < DosHeaderSize || data[0] != 'M' || data[1] != 'Z') {
        info.error = PeImageError::NoDosHeader;
        return info;
    }
    // 64-bit sums: e_lfanew is any 32-bit value.
    const uint64_t ntHeaders = little32(data + NtHeadersOffsetField);
    const uint64_t fileHeader = ntHeaders + SignatureSize;
    if (fileHeader + FileHeaderSize > size) {
        info.error = PeImageError::NtHeadersOutside;
        return info;
    }
    const uint8_t *signature = data + ntHeaders;
    if (signature[0] != 'P' || signature[1] != 'E' || signature[2] != 0 || signature[3] != 0) {
        info.error = PeImageError::NoPeSignature;
        return info;
    }
    const uint8_t *header = data + fileHeader;
    info.machine = little16(header + MachineField);
    info.characteristics = little16(header + CharacteristicsField);
    const uint64_t optionalHeader = fileHeader + FileHeaderSize;
    if (little16(header + OptionalHeaderSizeField) < 2 || optionalHeader + 2 > size) {
        info.error = PeImageError::NoOptionalHeader;
        return info;
    }
    info.optionalMagic = little16(data + optionalHeader);
    info.error = PeImageError::None;
    return info;
}

const char *PeImage::describe(PeImageError error)
{
    switch (error) {
    case PeImageError::None:
        return "a PE image";
    case PeImageError::NoDosHeader:
        return "not an executable file (no MZ header)";
    case PeImageError::NtHeadersOutside:
        return "the PE headers lie outside the file";
    case PeImageError::NoPeSignature:
        return "no PE signature where the MZ header points";
    case PeImageError::NoOptionalHeader:
        return "the optional header is missing or cut short";
    }
    return "unknown error";
}

const char *PeImageInfo::architecture() const
{
    switch (machine) {
    case MachineX86:
        return "x86";
    case MachineX64:
        return "x64";
    case MachineArm:
        return "arm";
    case MachineArm64:
        return "arm64";
    default:
        return nullptr;
    }
}

const char *PeImageInfo::format() const
{
    switch (optionalMagic) {
    case MagicPe32:
        return "PE32";
    case MagicPe32Plus:
        return "PE32+";
    default:
        return nullptr;
    }
}

bool PeImageInfo::formatMatchesMachine() const
{
    switch (machine) {
    case MachineX86:
    case MachineArm:
        return optionalMagic == MagicPe32;
    case MachineX64:
    case MachineArm64:
        return optionalMagic == MagicPe32Plus;
    default:
        return false;
    }
}
