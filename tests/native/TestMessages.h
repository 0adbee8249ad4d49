// NDEF messages the tag tests write and read back, built with NdefBuilder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "NdefBuilder.h"

namespace korvat_test {

// One URI record.
inline std::vector<uint8_t> uriMessage(const std::string &uri)
{
    NdefBuilder builder;
    std::string error;
    EXPECT_TRUE(builder.addUri(uri, error)) << error;
    return builder.message();
}

// One Text record in "en" of `characters` letters x.
inline std::vector<uint8_t> textMessage(size_t characters)
{
    NdefBuilder builder;
    std::string error;
    EXPECT_TRUE(builder.addText("en", std::string(characters, 'x'), error)) << error;
    return builder.message();
}

}  // namespace korvat_test
