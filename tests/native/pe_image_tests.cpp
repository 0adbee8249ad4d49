// Reading a plug-in file's PE headers: the machine, PE32 or PE32+, the DLL flag, and every way a
// file can fail to be a PE image, down to headers cut one byte short.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "PeImageInfo.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes &b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// The smallest image with a DOS header, "PE\0\0" at ntOffset, a file header and the optional
// header's magic (optionalSize bytes announced, only the magic present).
Bytes image(uint16_t machine, uint16_t magic, uint16_t characteristics, uint32_t ntOffset = 0x80,
            uint16_t optionalSize = 0xF0)
{
    Bytes b(ntOffset + 4 + 20 + 2, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, ntOffset);
    std::memcpy(&b[ntOffset], "PE\0\0", 4);
    put16(b, ntOffset + 4, machine);
    put16(b, ntOffset + 4 + 16, optionalSize);
    put16(b, ntOffset + 4 + 18, characteristics);
    put16(b, ntOffset + 24, magic);
    return b;
}

struct ImageCase {
    const char *name;
    uint16_t machine;
    uint16_t magic;
    uint16_t characteristics;
    const char *architecture;  // null: unknown machine
    const char *format;        // null: unknown magic
    bool matches;
    bool dll;
};

void PrintTo(const ImageCase &c, std::ostream *out)
{
    *out << c.name;
}

class PeImageKinds : public ::testing::TestWithParam<ImageCase> {};

TEST_P(PeImageKinds, MachineFormatAndDllFlagAreRead)
{
    const ImageCase &c = GetParam();
    const Bytes b = image(c.machine, c.magic, c.characteristics);
    const PeImageInfo info = PeImage::read(b.data(), b.size());
    ASSERT_TRUE(info.valid()) << PeImage::describe(info.error);
    EXPECT_EQ(c.machine, info.machine);
    EXPECT_EQ(c.dll, info.isDll());
    if (c.architecture == nullptr) {
        EXPECT_EQ(nullptr, info.architecture());
    } else {
        EXPECT_STREQ(c.architecture, info.architecture());
    }
    if (c.format == nullptr) {
        EXPECT_EQ(nullptr, info.format());
    } else {
        EXPECT_STREQ(c.format, info.format());
    }
    EXPECT_EQ(c.matches, info.formatMatchesMachine());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeImageKinds,
    ::testing::Values(ImageCase{"x86_dll", 0x014C, 0x010B, 0x2102, "x86", "PE32", true, true},
                      ImageCase{"x64_dll", 0x8664, 0x020B, 0x2022, "x64", "PE32+", true, true},
                      ImageCase{"x64_exe", 0x8664, 0x020B, 0x0022, "x64", "PE32+", true, false},
                      ImageCase{"arm64_dll", 0xAA64, 0x020B, 0x2022, "arm64", "PE32+", true, true},
                      ImageCase{"x86_machine_pe32plus", 0x014C, 0x020B, 0x2102, "x86", "PE32+", false, true},
                      ImageCase{"x64_machine_pe32", 0x8664, 0x010B, 0x2102, "x64", "PE32", false, true},
                      ImageCase{"unknown_machine", 0x0200, 0x020B, 0x2000, nullptr, "PE32+", false, true},
                      ImageCase{"rom_magic", 0x014C, 0x0107, 0x2000, "x86", nullptr, false, true}),
    [](const ::testing::TestParamInfo<ImageCase> &info) { return std::string(info.param.name); });

TEST(PeImage, EveryBrokenHeaderIsNamed)
{
    const Bytes good = image(0x8664, 0x020B, 0x2022);
    struct Broken {
        const char *name;
        Bytes bytes;
        PeImageError error;
    };
    Bytes noMz = good;
    noMz[1] = 'X';
    Bytes noPe = good;
    noPe[0x80 + 1] = 'X';
    Bytes far = good;
    put32(far, 0x3C, 0xFFFFFFF0u);  // e_lfanew near the top of 32 bits: no wrap-around
    Bytes noOptional = good;
    put16(noOptional, 0x80 + 4 + 16, 0);
    const std::vector<Broken> cases = {
        {"empty", Bytes(), PeImageError::NoDosHeader},
        {"dos header cut", Bytes(good.begin(), good.begin() + 63), PeImageError::NoDosHeader},
        {"no MZ", noMz, PeImageError::NoDosHeader},
        {"e_lfanew past the end", far, PeImageError::NtHeadersOutside},
        {"file header cut one byte short", Bytes(good.begin(), good.begin() + 0x80 + 23), PeImageError::NtHeadersOutside},
        {"no PE signature", noPe, PeImageError::NoPeSignature},
        {"optional header size 0", noOptional, PeImageError::NoOptionalHeader},
        {"magic cut one byte short", Bytes(good.begin(), good.end() - 1), PeImageError::NoOptionalHeader},
    };
    for (const Broken &c : cases) {
        // A copy of exactly the case's size, so that the sanitizer sees any read past it.
        std::vector<uint8_t> copy(c.bytes);
        const PeImageInfo info = PeImage::read(copy.empty() ? nullptr : copy.data(), copy.size());
        EXPECT_EQ(c.error, info.error) << c.name;
        EXPECT_FALSE(info.valid()) << c.name;
        EXPECT_STRNE("a PE image", PeImage::describe(info.error)) << c.name;
    }
}

TEST(PeImage, HeadersAtTheVeryEndOfTheFileAreRead)
{
    // e_lfanew placing the optional header's magic in the last two bytes.
    const Bytes b = image(0x014C, 0x010B, 0x2102, 0x40);
    ASSERT_EQ(0x40u + 26u, b.size());
    const PeImageInfo info = PeImage::read(b.data(), b.size());
    ASSERT_TRUE(info.valid());
    EXPECT_STREQ("x86", info.architecture());
    EXPECT_STREQ("PE32", info.format());
}

} // namespace
