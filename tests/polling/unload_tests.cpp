// The notification thread and the end of the library: FreeLibrary of the DLL while poll mode
// runs (the thread asleep, in the middle of a cycle, with a plug-in's APC queued to it, or in a
// status call that waits for the loader lock), a thread that cannot start in time, stopping poll
// mode (also of a thread that cannot run), and the end of the process. A call that
// does not come back ends the program, since nothing can be cleaned up after it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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

// An application thread that calls thru back to back leaves the lock free only for an instant:
// the cycle still gets its turn, and a stop made meanwhile (holding the lock while the cycle may
// be waiting for it) returns, with no cycle after it and no overlapping plug-in call.
TEST_F(PollingEnd, CyclesAndStopWhileAnotherThreadCallsThruBackToBack)
{
    struct Load {
        KorvatDll *dll;
        volatile LONG stop;
        volatile LONG failures;
        static DWORD WINAPI run(void *argument)
        {
            Load *load = static_cast<Load *>(argument);
            uint8_t command[4] = {0x30, 0x04, 0x00, 0x00};
            uint8_t response[16];
            uint16_t length = 0;
            while (load->stop == 0) {
                if (!load->dll->thru(command, sizeof(command), response, &length)) {
                    InterlockedIncrement(&load->failures);
                }
            }
            return 0;
        }
    } load{dll.get(), 0, 0};
    fixture->setCallLog(0);  // hundreds of thousands of reads
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    HANDLE thread = CreateThread(nullptr, 0, &Load::run, &load, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const bool cycled = pumpUntilStatusCalls(window, *fixture, 3, 5000);
    bool stopped = false;
    runBounded([&] { stopped = dll->stop_poll_mode() != 0; }, 5000, "stop_poll_mode under thru load");
    const uint32_t callsAtStop = fixture->statusCalls();
    window.pump(800);
    InterlockedExchange(&load.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    EXPECT_TRUE(cycled) << "the notification thread did not get the lock for three cycles";
    EXPECT_TRUE(stopped);
    EXPECT_EQ(fixture->statusCalls(), callsAtStop) << "a cycle ran after stop_poll_mode returned";
    EXPECT_EQ(load.failures, 0);
    EXPECT_GT(fixture->callCount("gp_read"), 0u);
    EXPECT_EQ(fixture->overlapCount(), 0u);
}

// A plug-in may queue a user APC to the thread that calls it (an overlapped read's completion,
// for example). Such an APC must never make the thread come back into the DLL after it has
// signalled its end: here the APC takes longer than the unload, so a thread that ran it and
// returned into the library would run unmapped code.
TEST_F(PollingEnd, FreeLibraryWithAPlugInsApcQueuedToTheThread)
{
    fixture->setStatusApc(400);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, 2, 3000));
    window.pump(100);

    const uint32_t calls = fixture->statusCalls();
    ASSERT_NO_FATAL_FAILURE(unloadDll());
    EXPECT_EQ(GetModuleHandleA("korvat_nfc_library_for_vb.dll"), nullptr) << "the DLL is still mapped";
    window.pump(800);  // longer than the APC
    EXPECT_EQ(fixture->callCount("apc"), 0u)
        << "the thread waited alertably after its last cycle: it ran the APC and came back into the library";
    ASSERT_NO_FATAL_FAILURE(expectQuietAfterUnload(calls));
    ASSERT_NO_FATAL_FAILURE(expectUsableAgain());
}

// The application starts poll mode from a DLL's entry point: the new thread cannot start while
// the loader lock is held. start_poll_mode fails as when the thread cannot be created, the
// reader's poll mode is stopped again, and the thread, once it can run, ends without a cycle and
// without keeping the DLL loaded.
TEST_F(PollingEnd, ThreadThatCannotStartInTimeFailsStartPollMode)
{
    HMODULE helper = LoadLibraryA((binDirectory() + "start_poll_in_dllmain.dll").c_str());
    ASSERT_NE(helper, nullptr);
    typedef int(__cdecl * result_t)(uint32_t *, uint32_t *);
    result_t result = reinterpret_cast<result_t>(reinterpret_cast<void *>(GetProcAddress(helper, "start_poll_result")));
    ASSERT_NE(result, nullptr);
    uint32_t lastError[2] = {0, 0};
    uint32_t took = 0;
    EXPECT_EQ(result(lastError, &took), 0);
    std::printf("[ INFO     ] start_poll_mode under the loader lock returned after %u ms\n", took);
    EXPECT_EQ(lastError[0], static_cast<uint32_t>(KORVAT_NFC_E_THREAD_CREATE));
    EXPECT_EQ(lastError[1], 0u);
    FreeLibrary(helper);

    window.pump(1500);  // the thread has been able to run since the entry point returned
    EXPECT_EQ(fixture->statusCalls(), 0u) << "the abandoned thread ran a cycle";
    EXPECT_TRUE(window.messages.empty());
    const std::string log = fixture->calls();
    const std::string expectedEnd = "gp_start_poll_mode 00000001\ngp_stop_poll_mode\n";
    EXPECT_TRUE(log.size() >= expectedEnd.size() && log.compare(log.size() - expectedEnd.size(), std::string::npos,
                                                                expectedEnd) == 0)
        << log;

    // Still usable in the same load, and the abandoned thread holds no reference on the DLL.
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    EXPECT_TRUE(pumpUntilStatusCalls(window, *fixture, 1, 3000));
    EXPECT_TRUE(dll->stop_poll_mode());
    ASSERT_NO_FATAL_FAILURE(unloadDll());
    EXPECT_EQ(GetModuleHandleA("korvat_nfc_library_for_vb.dll"), nullptr) << "the DLL is still mapped";
}

// A find message and an error message posted before FreeLibrary and pumped after it: what
// their lParam points to is still there, byte for byte (the application may read it late).
TEST_F(PollingEnd, MessagesPostedBeforeFreeLibraryAreReadAfterIt)
{
    const Bytes block = additionalData14443A(0x4D, 0x0044, 0x20, {0x04, 0x51, 0x2C, 0x7A}, {0x75, 0x77});
    fixture->pushStatus(Found, DEVICE_TYPE_NFC_14443A_18092_106K, 0, block.data(),
                        static_cast<uint32_t>(block.size()), 1, 0, 0);
    fixture->pushStatus(StateIdle, 0, 0, nullptr, 0, 0, 0xE0001234, 0x56);
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    // Not pumped: the third status call comes after the second cycle posted its message.
    const DWORD began = GetTickCount();
    while (fixture->statusCalls() < 3 && GetTickCount() - began < 5000) {
        Sleep(20);
    }
    ASSERT_GE(fixture->statusCalls(), 3u);
    ASSERT_NO_FATAL_FAILURE(unloadDll());
    ASSERT_EQ(GetModuleHandleA("korvat_nfc_library_for_vb.dll"), nullptr) << "the DLL is still mapped";

    window.pump(100);
    ASSERT_EQ(window.messages.size(), 2u);
    const ReceivedMessage &find = window.messages[0];
    EXPECT_EQ(find.message, window.findMessage());
    EXPECT_EQ(find.wParam, static_cast<WPARAM>(KORVAT_NFC_FIND_TARGET));
    const Bytes record = {0x01, 0x00, 0x00, 0x00, 0x4D, 0x00, 0x00, 0x00, 0x44, 0x00, 0x20, 0x04, 0x04, 0x51, 0x2C,
                          0x7A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x75, 0x77};
    EXPECT_EQ(find.bytes, record);
    const ReceivedMessage &error = window.messages[1];
    EXPECT_EQ(error.message, window.findMessage());
    EXPECT_EQ(error.wParam, static_cast<WPARAM>(KORVAT_NFC_FIND_ERROR));
    EXPECT_EQ(error.bytes, Bytes({0x34, 0x12, 0x00, 0xE0, 0x56, 0x00, 0x00, 0x00}));
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

// A plug-in whose status call does loader work (it loads a DLL) while the library is freed: the
// unloading thread holds the loader lock and needs the library lock, which the cycle holds while
// the plug-in waits for the loader lock. FreeLibrary returns after a bounded wait: the status
// call is given up, the plug-in is neither closed nor called again, and the thread, once its load
// is done, ends without coming back into the unmapped DLL. The DLL can be loaded and used again.
TEST_F(PollingEnd, FreeLibraryWhileTheStatusCallWaitsForTheLoaderLock)
{
    fixture->setStatusDelay(300);
    fixture->setStatusLoad("version.dll");
    ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
    // The first status call sleeps 300 ms under the library lock, then loads the DLL.
    ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, 1, 3000));
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, fixture->statusThread());
    ASSERT_NE(thread, nullptr);

    const uint32_t calls = fixture->statusCalls();
    ASSERT_NO_FATAL_FAILURE(unloadDll());
    EXPECT_EQ(GetModuleHandleA("korvat_nfc_library_for_vb.dll"), nullptr) << "the DLL is still mapped";
    EXPECT_EQ(WaitForSingleObject(thread, 3000), static_cast<DWORD>(WAIT_OBJECT_0)) << "the thread did not end";
    CloseHandle(thread);
    window.pump(800);
    EXPECT_EQ(fixture->callCount("status_load"), 1u) << "the given-up status call did not finish its load";
    EXPECT_EQ(fixture->statusCalls(), calls);
    EXPECT_EQ(fixture->callCount("gp_close_port"), 0u) << "the plug-in was closed while its status call ran";
    EXPECT_EQ(fixture->overlapCount(), 0u);
    ASSERT_NO_FATAL_FAILURE(expectUsableAgain());
}

// A notification thread that cannot run for a while, outside the library lock (suspended here,
// as a debug-log write on a share that does not answer would stall it in its sleep): a stop
// cannot confirm its end. It fails with KORVAT_NFC_E_THREAD_CREATE and calls neither the
// plug-in's stop nor its close; once the thread runs again it leaves without another cycle and
// ends; a stop made then succeeds. FreeLibrary while it is still stalled returns and nothing
// faults when it runs again.
class StalledThread : public PollingEnd {
protected:
    // Starts poll mode and suspends the thread in its sleep after the first cycle.
    void stall()
    {
        ASSERT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K));
        ASSERT_TRUE(pumpUntilStatusCalls(window, *fixture, 1, 3000));
        window.pump(150);
        m_Thread = OpenThread(THREAD_SUSPEND_RESUME | SYNCHRONIZE, FALSE, fixture->statusThread());
        ASSERT_NE(m_Thread, nullptr);
        ASSERT_NE(SuspendThread(m_Thread), static_cast<DWORD>(-1));
        m_CallsAtStall = fixture->statusCalls();
    }

    void expectRefused(const char *what, const std::function<bool()> &call)
    {
        bool done = true;
        const DWORD took = runBounded([&] { done = call(); }, 10000, what);
        std::printf("[ INFO     ] %s of a stalled thread failed after %lu ms\n", what, static_cast<unsigned long>(took));
        EXPECT_FALSE(done) << what << " reported a stop that did not happen";
        EXPECT_EQ(dll->lastError(), std::make_pair(static_cast<uint32_t>(KORVAT_NFC_E_THREAD_CREATE), 0u)) << what;
    }

    // Lets the thread run again: it ends without a status call.
    void resumeAndExpectItEnds()
    {
        ASSERT_NE(ResumeThread(m_Thread), static_cast<DWORD>(-1));
        EXPECT_EQ(WaitForSingleObject(m_Thread, 3000), static_cast<DWORD>(WAIT_OBJECT_0))
            << "the thread did not leave its loop once it could run";
        window.pump(700);
        EXPECT_EQ(fixture->statusCalls(), m_CallsAtStall) << "cycles ran after the stop had been asked for";
        CloseHandle(m_Thread);
        m_Thread = nullptr;
    }

    void TearDown() override
    {
        if (m_Thread != nullptr) {
            ResumeThread(m_Thread);
            CloseHandle(m_Thread);
        }
        PollingEnd::TearDown();
    }

    HANDLE m_Thread = nullptr;
    uint32_t m_CallsAtStall = 0;
};

TEST_F(StalledThread, StopAndCloseFailAndCallNoPlugInUntilTheThreadHasEnded)
{
    ASSERT_NO_FATAL_FAILURE(stall());
    expectRefused("stop_poll_mode", [&] { return dll->stop_poll_mode() != 0; });
    expectRefused("close", [&] { return dll->close() != 0; });
    EXPECT_EQ(fixture->callCount("gp_stop_poll_mode"), 0u);
    EXPECT_EQ(fixture->callCount("gp_close_port"), 0u);
    ASSERT_NO_FATAL_FAILURE(resumeAndExpectItEnds());

    EXPECT_TRUE(dll->stop_poll_mode());
    EXPECT_EQ(fixture->callCount("gp_stop_poll_mode"), 1u);
    EXPECT_TRUE(dll->close());
    EXPECT_EQ(fixture->callCount("gp_close_port"), 1u);
    EXPECT_EQ(fixture->overlapCount(), 0u);
}

// A start after a failed stop: while the old thread may still run it fails the same way and calls
// no plug-in (gp_stop_poll_mode needs the thread ended); once that thread has ended it completes
// the stop (the plug-in's stop, then its start) and polls again with a new thread.
TEST_F(StalledThread, AStartAfterAFailedStopCompletesTheStopFirst)
{
    ASSERT_NO_FATAL_FAILURE(stall());
    expectRefused("stop_poll_mode", [&] { return dll->stop_poll_mode() != 0; });
    expectRefused("start_poll_mode", [&] { return dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K) != 0; });
    EXPECT_EQ(fixture->callCount("gp_start_poll_mode"), 1u) << "the plug-in was started again while the thread lived";
    EXPECT_EQ(fixture->callCount("gp_stop_poll_mode"), 0u) << "the plug-in was stopped while the thread lived";
    ASSERT_NO_FATAL_FAILURE(resumeAndExpectItEnds());

    EXPECT_TRUE(dll->start_poll_mode(DEVICE_TYPE_NFC_14443A_18092_106K)) << "the start failed after the thread ended";
    EXPECT_EQ(fixture->callCount("gp_stop_poll_mode"), 1u);
    EXPECT_EQ(fixture->callCount("gp_start_poll_mode"), 2u);
    EXPECT_TRUE(pumpUntilStatusCalls(window, *fixture, m_CallsAtStall + 1, 3000)) << "no cycle after the new start";
    EXPECT_TRUE(dll->stop_poll_mode());
    EXPECT_EQ(fixture->overlapCount(), 0u);
}

TEST_F(StalledThread, FreeLibraryAfterAFailedStopFaultsNothingWhenTheThreadRunsAgain)
{
    ASSERT_NO_FATAL_FAILURE(stall());
    expectRefused("stop_poll_mode", [&] { return dll->stop_poll_mode() != 0; });
    ASSERT_NO_FATAL_FAILURE(unloadDll());
    ASSERT_NO_FATAL_FAILURE(resumeAndExpectItEnds());
    EXPECT_EQ(fixture->callCount("gp_stop_poll_mode"), 0u);
    EXPECT_EQ(fixture->overlapCount(), 0u);
}

}  // namespace

// The process ends while the library is initialised with its port open, and while poll mode
// runs. The plug-ins were loaded after the library, so they are detached before it; the library
// must then call none of them, and must neither wait for its thread (gone, possibly in the middle
// of a cycle) nor take a lock it may have held (a process that hangs there never ends). The exit recorder stands in front of the real
// plug-in and writes down its own detach and every call in the order they happen.
TEST(ProcessExit, NoPlugInCallAfterThePlugInsAreDetached)
{
    struct Case {
        const char *name;
        std::string target;
        const char *arguments;
        std::vector<std::string> calledBeforeExit;
    };
    const std::vector<Case> cases = {
        {"test plug-in, port open", testPluginPath("cat0"), "", {"call gp_open_port_and_transition_nfc_mode"}},
        {"test plug-in, polling", testPluginPath("cat0"), "poll", {"call gp_start_poll_mode", "call gp_get_driver_status"}},
        // The thread is killed inside the plug-in, holding the library lock.
        {"test plug-in, cycle holding the lock", testPluginPath("cat0"), "held", {"call gp_get_driver_status"}},
        {"simulator, port open", binDirectory() + "plugins\\sim_reader.gp", "", {"call gp_open_port_and_transition_nfc_mode"}},
        {"simulator, polling", binDirectory() + "plugins\\sim_reader.gp", "poll", {"call gp_start_poll_mode", "call gp_get_driver_status"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory plugins("process_exit_plugins");
        plugins.addPlugin("exit_recorder", "reader.gp");
        RegistryConfiguration registry;
        registry.configureSimPort(plugins.path());
        const std::string events = plugins.file("events.txt");
        SetEnvironmentVariableA("KORVAT_RECORDER_TARGET", c.target.c_str());
        SetEnvironmentVariableA("KORVAT_RECORDER_EVENTS", events.c_str());

        std::string commandLine = "\"" + binDirectory() + "exit_with_port_open.exe\" " + c.arguments;
        const ChildRun run = runChildProcess(commandLine, 20000);
        SetEnvironmentVariableA("KORVAT_RECORDER_TARGET", nullptr);
        SetEnvironmentVariableA("KORVAT_RECORDER_EVENTS", nullptr);
        ASSERT_TRUE(run.started) << commandLine;
        EXPECT_TRUE(run.ended) << "the process did not end: " << commandLine;
        EXPECT_EQ(run.exitCode, 0u) << commandLine;

        const std::vector<std::string> lines = crlfLines(readFile(events));
        std::string all;
        for (const std::string &line : lines) {
            all += line + "\n";
        }
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "detach process-exit") << "events, in order:\n" << all;
        EXPECT_EQ(all.find("after detach"), std::string::npos) << "events, in order:\n" << all;
        for (const std::string &call : c.calledBeforeExit) {
            EXPECT_TRUE(contains(lines, call)) << call << " missing; events, in order:\n" << all;
        }
    }
}

// A DLL of the application calls close or stop_poll_mode from its own entry point while poll
// mode runs. At FreeLibrary of that DLL the caller holds the loader lock, so the notification
// thread cannot end: the call stops it without waiting for its end and succeeds. At process exit
// the thread is gone already: the call does nothing and says so. Either way it returns at once.
TEST(AnotherDllsDetach, CloseAndStopReturnPromptlyAtItsUnloadAndAtProcessExit)
{
    struct Case {
        const char *call;
        const char *mode;
        const char *expected;  // function, result, error code, detail
        const char *trace;     // a record of the debug log
    };
    const Case cases[] = {
        {"close", "detach-unload", "korvatlib_nfc_close 1 00000000 00000000",
         "INFORMATION! : Loader lock held: the end of the thread is not waited for."},
        {"stop_poll_mode", "detach-unload", "korvatlib_nfc_stop_poll_mode 1 00000000 00000000",
         "INFORMATION! : Loader lock held: the end of the thread is not waited for."},
        {"close", "detach-exit", "korvatlib_nfc_close 0 80C00016 00000000",
         "ERROR! : The process is exiting: korvatlib_nfc_close() does nothing."},
        {"stop_poll_mode", "detach-exit", "korvatlib_nfc_stop_poll_mode 0 80C00016 00000000",
         "ERROR! : The process is exiting: korvatlib_nfc_stop_poll_mode() does nothing."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.call) + " in " + c.mode);
        ScratchDirectory scratch("detach_call");
        scratch.addPlugin("cat0", "reader.gp");
        RegistryConfiguration registry;
        registry.configureSimPort(scratch.path());
        const std::string debugLog = scratch.file("debug.log");
        registry.setEmptyDebugLog(debugLog);
        const std::string result = scratch.file("result.txt");
        SetEnvironmentVariableA("KORVAT_DETACH_CALL", c.call);
        SetEnvironmentVariableA("KORVAT_DETACH_RESULT", result.c_str());

        const std::string commandLine = "\"" + binDirectory() + "exit_with_port_open.exe\" " + c.mode;
        const DWORD began = GetTickCount();
        const ChildRun run = runChildProcess(commandLine, 20000);
        const DWORD took = GetTickCount() - began;
        SetEnvironmentVariableA("KORVAT_DETACH_CALL", nullptr);
        SetEnvironmentVariableA("KORVAT_DETACH_RESULT", nullptr);
        ASSERT_TRUE(run.started) << commandLine;
        EXPECT_TRUE(run.ended) << "the process did not end within 20 s: " << commandLine;
        EXPECT_EQ(run.exitCode, 0u) << commandLine;
        std::printf("[ INFO     ] %s in %s: the child ran %lu ms\n", c.call, c.mode, static_cast<unsigned long>(took));

        const std::vector<std::string> lines = crlfLines(readFile(result));
        ASSERT_EQ(lines.size(), 1u) << "the helper DLL's entry point did not record its call";
        unsigned long milliseconds = 0;
        char text[4][32] = {};
        char when[16] = {};
        ASSERT_EQ(std::sscanf(lines[0].c_str(), "%31s %31s %31s %31s %lu %15s", text[0], text[1], text[2], text[3],
                              &milliseconds, when),
                  6)
            << lines[0];
        EXPECT_EQ(std::string(text[0]) + " " + text[1] + " " + text[2] + " " + text[3], c.expected);
        EXPECT_EQ(std::string(when), std::strcmp(c.mode, "detach-exit") == 0 ? "exit" : "unload");
        EXPECT_LT(milliseconds, 1000u) << "the call took " << milliseconds << " ms";

        bool traced = false;
        for (const DebugLogRecord &record : debugLogRecords(debugLog)) {
            traced = traced || record.message == c.trace;
        }
        EXPECT_TRUE(traced) << "no debug log record \"" << c.trace << "\"";
    }
}
