// The forwarding rule of the plug-in wrapper, which the exported functions cannot reach (a
// registered plug-in always has all fourteen entry points): a null error record fails quietly,
// a null entry writes only the code word, anything else is the plug-in's own answer.
#include <gtest/gtest.h>

#include "NfcPluginWrapper.h"
#include "korvat_nfc.h"

namespace {

int g_Calls = 0;
uint32_t g_LastValue = 0;

GP_BOOL __cdecl refuseWithPair(uint32_t value, ErrorInfo *error)
{
    ++g_Calls;
    g_LastValue = value;
    error->error_code = 0xE0001234u;
    error->detail_code = 99;
    return 0;
}

// A plug-in built with a wider boolean: only the low byte of the result counts, so 0x100 is false.
uint32_t __cdecl answerInWideRegister(ErrorInfo *)
{
    ++g_Calls;
    return 0x0100;
}

GP_BOOL __cdecl accept(ErrorInfo *)
{
    ++g_Calls;
    return 1;
}

}  // namespace

TEST(PluginWrapper, NullEntryWritesOnlyTheCodeWordAndCallsNothing)
{
    NfcPluginWrapper wrapper;
    ErrorInfo error = {0xE0000001u, 7};
    uint8_t response[4];
    uint16_t length = 0;
    const uint8_t command[1] = {0};
    int32_t timeout = 0;

    // Every forwarding operation of a cleared table.
    const bool results[] = {
        wrapper.openPortAndTransitionNfcMode("SIM0", &error),
        wrapper.closePort(&error),
        wrapper.startPollMode(1, &error),
        wrapper.stopPollMode(&error),
        wrapper.startDeviceAccess(1, &error),
        wrapper.stopDeviceAccess(0, &error),
        wrapper.selectDevice(&error),
        wrapper.deselectDevice(&error),
        wrapper.read(command, 1, response, &length, &error),
        wrapper.setTimeout(1, &error),
        wrapper.getTimeout(&timeout, &error),
    };
    for (bool result : results) {
        EXPECT_FALSE(result);
    }
    EXPECT_EQ(error.error_code, KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING);
    EXPECT_EQ(error.detail_code, 7u);
}

TEST(PluginWrapper, NullErrorRecordFailsWithoutCallingThePlugin)
{
    NfcPluginWrapper wrapper;
    PluginFunctionTable table = {};
    table.gp_start_poll_mode = &refuseWithPair;
    table.gp_close_port = &accept;
    wrapper.setFunctionTable(table);
    g_Calls = 0;
    EXPECT_FALSE(wrapper.closePort(nullptr));
    EXPECT_FALSE(wrapper.startPollMode(5, nullptr));
    EXPECT_EQ(g_Calls, 0);
}

TEST(PluginWrapper, ForwardsArgumentsAndThePluginsAnswerUnchanged)
{
    NfcPluginWrapper wrapper;
    PluginFunctionTable table = {};
    table.gp_start_poll_mode = &refuseWithPair;
    table.gp_close_port = &accept;
    table.gp_select_device = reinterpret_cast<gp_select_device_t>(reinterpret_cast<void *>(&answerInWideRegister));
    wrapper.setFunctionTable(table);

    ErrorInfo error = {0, 0};
    g_Calls = 0;
    EXPECT_FALSE(wrapper.startPollMode(0xA5A5A5A5u, &error));
    EXPECT_EQ(g_LastValue, 0xA5A5A5A5u);
    EXPECT_EQ(error.error_code, 0xE0001234u);
    EXPECT_EQ(error.detail_code, 99u);
    EXPECT_TRUE(wrapper.closePort(&error));
    EXPECT_FALSE(wrapper.selectDevice(&error));
    EXPECT_EQ(g_Calls, 3);

    wrapper.clearFunctionTable();
    EXPECT_FALSE(wrapper.closePort(&error));
    EXPECT_EQ(error.error_code, KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING);
    EXPECT_EQ(g_Calls, 3);
}
