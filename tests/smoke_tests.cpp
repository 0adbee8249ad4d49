#include <gtest/gtest.h>

#include <process.h>

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

namespace {

// Runs code that was unmapped under the thread (as a freed DLL's is): an execute fault.
unsigned __stdcall faultingThread(void *)
{
    void *code = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    *static_cast<unsigned char *>(code) = 0xC3;  // ret
    VirtualFree(code, 0, MEM_RELEASE);
    reinterpret_cast<void (*)()>(code)();
    return 0;
}

} // namespace

// A test program that faults on any thread must fail under ctest: it ends with the exception's
// code (tests/support/CrashExit.cpp), never with 0. The program runs itself as a child that faults
// on a thread of the C runtime while its main thread waits, as a fault at FreeLibrary would.
TEST(TestProgram, AFaultOnAnotherThreadEndsItWithTheExceptionCode)
{
    const char *const ChildVariable = "KORVAT_TEST_FAULT_CHILD";
    if (GetEnvironmentVariableA(ChildVariable, nullptr, 0) != 0) {
        // Started by the C runtime, as the library's notification thread is.
        const uintptr_t thread = _beginthreadex(nullptr, 0, &faultingThread, nullptr, 0, nullptr);
        WaitForSingleObject(reinterpret_cast<HANDLE>(thread), 10000);
        return;  // not reached
    }
    char self[MAX_PATH] = "";
    ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    std::string command = std::string("\"") + self + "\" --gtest_filter=TestProgram.AFaultOnAnotherThreadEndsItWithTheExceptionCode";
    ASSERT_TRUE(SetEnvironmentVariableA(ChildVariable, "1"));
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL created = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableA(ChildVariable, nullptr);
    ASSERT_TRUE(created);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
