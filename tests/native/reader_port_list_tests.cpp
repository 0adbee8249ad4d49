// The port list of gp_list_ports: what a plug-in writes reads back the same, and the library
// refuses any list that is not ended or not bounded where it should be.
#include <gtest/gtest.h>

#include "ReaderPortList.h"

using reader::PortEntry;

TEST(ReaderPortList, WrittenListsReadBack)
{
    const std::vector<std::vector<PortEntry>> lists = {
        {},
        {{"SIM0", ""}},
        {{"PCSC0", "Virtual Reader 00 00"}, {"PCSC1", "Ärger Reader \xE2\x82\xAC 01 00"}},
        {{std::string(63, 'P'), std::string(127, 'r')}},
    };
    for (const auto &list : lists) {
        std::string bytes;
        ASSERT_TRUE(reader::formatPortList(list, bytes));
        std::vector<PortEntry> back;
        std::string error;
        EXPECT_TRUE(reader::parsePortList(bytes.data(), bytes.size(), back, error)) << error;
        EXPECT_EQ(back, list);
    }
}

TEST(ReaderPortList, LongReaderNamesAreCutAtACharacterAndBadPortNamesRefused)
{
    std::string bytes;
    // 126 ASCII bytes and a 3-byte character: cut before the character, not inside it.
    ASSERT_TRUE(reader::formatPortList({{"PCSC0", std::string(126, 'r') + "\xE2\x82\xAC"}}, bytes));
    std::vector<PortEntry> back;
    std::string error;
    ASSERT_TRUE(reader::parsePortList(bytes.data(), bytes.size(), back, error)) << error;
    EXPECT_EQ(back[0].readerName, std::string(126, 'r'));

    for (const std::string &name : {std::string(), std::string(64, 'P'), std::string("PC\0SC", 5)}) {
        EXPECT_FALSE(reader::formatPortList({{name, "reader"}}, bytes));
        EXPECT_TRUE(bytes.empty());
    }
}

TEST(ReaderPortList, ListsThatAreNotEndedOrBoundedAreRefused)
{
    const struct {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"nothing at all", std::string()},
        {"no empty entry at the end", std::string("SIM0\0reader\0", 12)},
        {"a port name not ended", std::string("SIM0", 4)},
        {"no reader name", std::string("SIM0\0", 5)},
        {"a reader name not ended", std::string("SIM0\0read", 9)},
        {"a port name of 64 bytes", std::string(64, 'P') + std::string("\0r\0\0", 4)},
        {"a reader name of 128 bytes", std::string("SIM0\0", 5) + std::string(128, 'r') + std::string("\0\0", 2)},
        {"a port listed twice", std::string("SIM0\0a\0SIM0\0b\0\0", 15)},
    };
    for (const auto &c : cases) {
        std::vector<PortEntry> entries = {{"stale", "entry"}};
        std::string error;
        EXPECT_FALSE(reader::parsePortList(c.bytes.data(), c.bytes.size(), entries, error)) << c.what;
        EXPECT_TRUE(entries.empty()) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    // Bytes after the end are not read.
    std::vector<PortEntry> entries;
    std::string error;
    const std::string ended("SIM0\0r\0\0garbage", 15);
    EXPECT_TRUE(reader::parsePortList(ended.data(), ended.size(), entries, error)) << error;
    EXPECT_EQ(entries, (std::vector<PortEntry>{{"SIM0", "r"}}));
}
