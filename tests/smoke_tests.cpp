#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace korvat_test;

TEST(DllLoad, LoadsWithAllExportsAndNoErrorRecorded)
{
    KorvatDll dll;
    ASSERT_TRUE(dll.loaded());
    ASSERT_NE(dll.get_last_error, nullptr);
    ASSERT_NE(dll.stop_logging, nullptr);
    EXPECT_EQ(dll.lastError(), std::make_pair(0u, 0u));
}

TEST(DllLoad, WholeRoadWithTheTestPlugin)
{
    RegistryConfiguration registry;
    ScratchDirectory plugins("smoke_plugins");
    const std::string pluginPath = plugins.addPlugin("cat0", "reader.gp");
    registry.configureSimPort(plugins.path());
    ScratchDirectory logs("smoke_logs");
    writeFile(logs.file("debug.log"), "old");
    registry.setString("debug_log_file_name", logs.file("debug.log"));
    {
        KorvatDll dll;
        ASSERT_TRUE(dll.loaded());
        ASSERT_TRUE(dll.initialize());
        FixturePlugin fixture(pluginPath);
        ASSERT_TRUE(fixture.loaded());
        fixture.reset();
        fixture.pushStatus(1, 0, 0, nullptr, 0, 1, 0, 0);
        const std::vector<uint8_t> block = additionalData14443A(7, 0x0044, 0x20, {1, 2, 3, 4, 5, 6, 7}, {0x75, 0x77});
        fixture.pushStatus(0x41, 1, 0, block.data(), static_cast<uint32_t>(block.size()), 1, 0, 0);
        fixture.pushStatus(0x101, 0, 0, nullptr, 0, 1, 0, 0);

        MessageWindow window("find", "enable");
        char port[16] = "";
        ASSERT_TRUE(dll.set_poll_callback_parameters(window.handle(), "find", "enable"));
        ASSERT_TRUE(dll.open(port));
        EXPECT_STREQ(port, "SIM0");
        ASSERT_TRUE(dll.start_poll_mode(1));
        EXPECT_TRUE(window.pumpUntil(2, 3000));
        ASSERT_GE(window.messages.size(), 2u);
        EXPECT_EQ(window.messages[0].message, window.findMessage());
        EXPECT_EQ(window.messages[0].wParam, 1u);
        ASSERT_EQ(window.messages[0].bytes.size(), 25u);
        EXPECT_EQ(window.messages[1].message, window.enableMessage());
        EXPECT_EQ(window.messages[1].lParam, 7);
        const DWORD before = GetTickCount();
        EXPECT_TRUE(dll.stop_poll_mode());
        EXPECT_LT(GetTickCount() - before, 2000u);
        uint8_t command[3] = {1, 2, 3}, response[16];
        uint16_t length = 0;
        EXPECT_TRUE(dll.thru(command, 3, response, &length));
        EXPECT_EQ(length, 3);
        EXPECT_TRUE(dll.close());
        EXPECT_TRUE(dll.uninitialize());
        EXPECT_EQ(fixture.overlapCount(), 0u);
    }
    const std::string log = readFile(logs.file("debug.log"));
    EXPECT_NE(log.find("++++ korvatlib_nfc_open() Start!\r\n"), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(log.find("INFORMATION! PostMessage(find)"), std::string::npos);
}
