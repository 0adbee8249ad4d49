// The notification thread and the end of the library: FreeLibrary of the DLL while poll mode
// runs (the thread asleep, or in the middle of a cycle) and stopping poll mode. A call that does
// not come back ends the program, since nothing can be cleaned up after it.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "korvat_nfc_plugin.h"

using namespace korvat_test;

namespace {

using Bytes = std::vector<uint8_t>;

const char FindName[] = "korvat.unload.find";
const char EnableName[] = "korvat.unload.enable";

const uint32_t StateIdle = GP_STATUS_STATE_IDLE;
const uint32_t Found = GP_STATUS_STATE_IDLE | GP_CONNECT_REPORT_POLL_MODE;
const uint32_t AccessEnabled = GP_STATUS_STATE_IDLE | GP_ACCESS_ENABLED;

// Runs `work` on another thread and waits at most `limit` ms for it; returns the time taken.
DWORD runBounded(const std::function<void()> &work, DWORD limit, const char *what)
{
    struct Call {
        const std::function<void()> *work;
        static DWORD WINAPI run(void *p)
        {
            (*static_cast<Call *>(p)->work)();
            return 0;
        }
    } call{&work};
    const DWORD start = GetTickCount();
    HANDLE thread = CreateThread(nullptr, 0, &Call::run, &call, 0, nullptr);
    if (thread == nullptr) {
        ADD_FAILURE() << "cannot start a thread for " << what;
        return 0;
    }
    if (WaitForSingleObject(thread, limit) != WAIT_OBJECT_0) {
        ADD_FAILURE() << what << " did not return within " << limit << " ms";
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    CloseHandle(thread);
    return GetTickCount() - start;
}

class PollingEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_PluginPath = m_Plugins.addPlugin("cat0", "reader.gp");
        m_Registry.configureSimPort(m_Plugins.path());
        ASSERT_NO_FATAL_FAILURE(loadAndOpen());
    }

    void TearDown() override
    {
        if (dll && dll->loaded()) {
            dll->close();
            dll->uninitialize();
        }
        dll.reset();
        fixture.reset();
    }

    void loadAndOpen()
    {
        dll.reset(new KorvatDll);
        ASSERT_TRUE(dll->loaded());
        ASSERT_TRUE(dll->initialize());
        // Kept across an unload of the DLL: the call log stays readable.
        if (!fixture) {
            fixture.reset(new FixturePlugin(m_PluginPath));
            ASSERT_TRUE(fixture->loaded());
        }
        fixture->reset();
        ASSERT_TRUE(dll->set_poll_callback_parameters(window.handle(), FindName, EnableName));
        char port[16] = "";
        ASSERT_TRUE(dll->open(port));
    }

    void unloadDll()
    {
        const DWORD took = runBounded([this] { dll->unload(); }, 10000, "FreeLibrary of the DLL");
        std::printf("[ INFO     ] FreeLibrary took %lu ms\n", static_cast<unsigned long>(took));
    }

    // After the unload: nothing more arrives, the plug-in is not asked again, and the port was
    // closed after the last status call.
    void expectQuietAfterUnload(uint32_t callsAtUnload)
    {
        window.pump(0);
        const size_t received = window.messages.size();
        window.pump(1500);
        EXPECT_EQ(window.messages.size(), received) << "a message arrived after the DLL was unloaded";
        EXPECT_EQ(fixture->statusCalls(), callsAtUnload);
        EXPECT_EQ(fixture->callCount("gp_close_port"), 1u);
        const std::string log = fixture->calls();
        EXPECT_EQ(log.substr(log.rfind("gp_get_driver_status")), "gp_get_driver_status\ngp_close_port\n");
    }

    // A fresh load of the DLL works all the way to a found target.
    void expectUsableAgain()
    {
        ASSERT_NO_FATAL_FAILURE(loadAndOpen());
        const Bytes block = additionalData14443A(0x5A, 0x0004, 0x08, {1, 2, 3, 4}, {});
        fixture->pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, 0, block.data(),
                            static_cast<uint32_t>(block.size()), 1, 0, 0);
        const size_t seen = window.messages.size();
        ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        EXPECT_TRUE(window.pumpUntil(seen + 1, 3000));
        EXPECT_TRUE(dll->stop_poll_mode());
        ASSERT_EQ(window.messages.size(), seen + 1);
        EXPECT_EQ(window.messages[seen].wParam, static_cast<WPARAM>(KORVAT_NFC_FIND_TARGET));
        ASSERT_EQ(window.messages[seen].bytes.size(), 23u);
        EXPECT_EQ(window.messages[seen].bytes[4], 0x5A);
        EXPECT_TRUE(dll->close());
        EXPECT_TRUE(dll->uninitialize());
    }

    MessageWindow window{FindName, EnableName};
    std::unique_ptr<KorvatDll> dll;
    std::unique_ptr<FixturePlugin> fixture;

private:
    RegistryConfiguration m_Registry;
    ScratchDirectory m_Plugins{"unload_plugins"};
    std::string m_PluginPath;
};

TEST_F(PollingEnd, FreeLibraryWhileTheThreadSleeps)
{
    const Bytes block = additionalData14443A(7, 0x0004, 0x08, {1, 2, 3, 4}, {});
    fixture->pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, 0, block.data(),
                        static_cast<uint32_t>(block.size()), 1, 0, 0);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(window.pumpUntil(1, 3000));
    window.pump(150);  // the thread is in its 600 ms sleep now

    const uint32_t calls = fixture->statusCalls();
    ASSERT_NO_FATAL_FAILURE(unloadDll());
    ASSERT_NO_FATAL_FAILURE(expectQuietAfterUnload(calls));
    ASSERT_NO_FATAL_FAILURE(expectUsableAgain());
}

TEST_F(PollingEnd, FreeLibraryWhileACycleIsInProgress)
{
    fixture->setStatusDelay(300);
    fixture->pushStatus(AccessEnabled, 0, 0, nullptr, 0, 1, 0, 0);
    fixture->pushStatus(StateIdle, 0, 0, nullptr, 0, 1, 0, 0);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    // The second status call sleeps 300 ms in the plug-in, under the library lock.
    ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, 2, 5000));

    const uint32_t calls = fixture->statusCalls();
    ASSERT_NO_FATAL_FAILURE(unloadDll());
    ASSERT_NO_FATAL_FAILURE(expectQuietAfterUnload(calls));
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].message, window.enableMessage());
    ASSERT_NO_FATAL_FAILURE(expectUsableAgain());
}

TEST_F(PollingEnd, StopPollModeReturnsWhileSleepingOrInACycle)
{
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, 1, 3000));
    window.pump(200);
    bool stopped = false;
    DWORD took = runBounded([&] { stopped = dll->stop_poll_mode() != 0; }, 5000, "stop_poll_mode of a sleeping thread");
    EXPECT_TRUE(stopped);
    std::printf("[ INFO     ] stop_poll_mode of a sleeping thread took %lu ms\n", static_cast<unsigned long>(took));

    fixture->setStatusDelay(300);
    const uint32_t before = fixture->statusCalls();
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, before + 1, 3000));
    stopped = false;
    took = runBounded([&] { stopped = dll->stop_poll_mode() != 0; }, 5000, "stop_poll_mode during a cycle");
    EXPECT_TRUE(stopped);
    std::printf("[ INFO     ] stop_poll_mode during a cycle took %lu ms\n", static_cast<unsigned long>(took));
    const uint32_t callsAtStop = fixture->statusCalls();
    window.pump(800);
    EXPECT_EQ(fixture->statusCalls(), callsAtStop) << "a cycle ran after stop_poll_mode returned";
    EXPECT_EQ(fixture->overlapCount(), 0u);
}

}  // namespace

// The process ends while the library is initialised with its port open, and while poll mode
// runs: the notification thread is gone by then (possibly in the middle of a cycle), so the
// library must neither wait for it nor hang on the lock it may have held.
TEST(ProcessExit, WithThePortOpenOrPollingTheApplicationEndsNormally)
{
    ScratchDirectory plugins("process_exit_plugins");
    plugins.addPlugin("cat0", "reader.gp");
    RegistryConfiguration registry;
    registry.configureSimPort(plugins.path());

    for (const char *arguments : {"", "poll"}) {
        std::string commandLine = "\"" + binDirectory() + "exit_with_port_open.exe\" " + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process))
            << commandLine;
        const DWORD waited = WaitForSingleObject(process.hProcess, 20000);
        DWORD exitCode = 0xFFFFFFFFu;
        GetExitCodeProcess(process.hProcess, &exitCode);
        if (waited != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 9);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        EXPECT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0)) << "the process did not end: " << commandLine;
        EXPECT_EQ(exitCode, 0u) << commandLine;
    }
}
