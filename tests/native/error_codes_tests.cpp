// The error code list against the texts that restate it: the public headers, whose values and
// comments an application reads, and the README's tables.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "NfcErrorCodes.h"

namespace {

struct Row {
    uint32_t code;
    std::string meaning;
};

std::string readSource(const std::string &relative)
{
    std::ifstream in(std::string(KORVAT_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool isCodeName(const std::string &name)
{
    return name.rfind("KORVAT_NFC_E_", 0) == 0 || name.rfind("KORVAT_TAGS_E_", 0) == 0;
}

// name -> (code, meaning) of a header's "#define KORVAT_NFC_E_x 0x...u /* meaning */" lines
// (KORVAT_TAGS_E_x likewise).
std::map<std::string, Row> headerRows(const std::string &text)
{
    std::map<std::string, Row> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string define, name, value;
        const size_t open = line.find("/*");
        const size_t close = line.rfind("*/");
        if ((words >> define >> name >> value) && define == "#define" && isCodeName(name) &&
            open != std::string::npos && close != std::string::npos && close > open) {
            rows[name] = {static_cast<uint32_t>(std::stoul(value, nullptr, 16)),
                          trimmed(line.substr(open + 2, close - open - 2))};
        }
    }
    return rows;
}

// name -> (code, meaning) of the README's "| 0x... | `KORVAT_NFC_E_x` | meaning |" rows.
std::map<std::string, Row> readmeRows(const std::string &text)
{
    std::map<std::string, Row> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::istringstream row(line);
        std::string cell;
        while (std::getline(row, cell, '|')) {
            cells.push_back(trimmed(cell));
        }
        // "", code, `name`, meaning
        if (cells.size() == 4 && cells[1].rfind("0x", 0) == 0 && cells[2].size() > 2 && cells[2][0] == '`' &&
            isCodeName(cells[2].substr(1))) {
            rows[cells[2].substr(1, cells[2].size() - 2)] = {static_cast<uint32_t>(std::stoul(cells[1], nullptr, 16)),
                                                             cells[3]};
        }
    }
    return rows;
}

}  // namespace

TEST(ErrorCodes, ListIsAscendingAndFindsEachCodeByValue)
{
    size_t count = 0;
    const NfcErrorCode *codes = NfcErrorCodes::all(count);
    ASSERT_GT(count, 0u);
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            EXPECT_LT(codes[i - 1].code, codes[i].code) << codes[i].name;
        }
        ASSERT_EQ(NfcErrorCodes::find(codes[i].code), &codes[i]) << codes[i].name;
    }
    EXPECT_STREQ(NfcErrorCodes::find(0x80C00014u)->name, "KORVAT_NFC_E_DRIVER_STATUS");
    // Values between the library's codes and plug-in codes are not library codes.
    for (uint32_t other : {0u, 0x80C00003u, 0x80C00009u, 0x80C00101u, 0xE0530001u}) {
        EXPECT_EQ(NfcErrorCodes::find(other), nullptr) << std::hex << other;
    }
}

TEST(ErrorCodes, HeaderAndReadmeListTheSameCodesWithTheSameMeanings)
{
    std::map<std::string, Row> header = headerRows(readSource("include/korvat_nfc.h"));
    const std::map<std::string, Row> tags = headerRows(readSource("include/korvat_nfc_tags.h"));
    header.insert(tags.begin(), tags.end());
    const std::map<std::string, Row> readme = readmeRows(readSource("README.md"));
    size_t count = 0;
    const NfcErrorCode *codes = NfcErrorCodes::all(count);
    ASSERT_EQ(header.size(), count) << "codes defined in korvat_nfc.h and korvat_nfc_tags.h";
    ASSERT_EQ(readme.size(), count) << "rows of the README's error tables";
    for (size_t i = 0; i < count; ++i) {
        const auto h = header.find(codes[i].name);
        const auto r = readme.find(codes[i].name);
        ASSERT_NE(h, header.end()) << codes[i].name << " is not in the headers";
        ASSERT_NE(r, readme.end()) << codes[i].name << " is not in the README";
        EXPECT_EQ(h->second.code, codes[i].code) << codes[i].name;
        EXPECT_EQ(r->second.code, codes[i].code) << codes[i].name;
        EXPECT_EQ(r->second.meaning, h->second.meaning) << codes[i].name;
    }
}
