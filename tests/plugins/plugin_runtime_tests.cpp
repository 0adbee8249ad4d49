// The one-time initialisation of the DLLs' runtime (shared/RuntimeOnce.cpp) in a program linked as a
// plug-in is: pthread_once redirected to its lock of Windows. What its callers (the C++ runtime's
// guarded statics, std::call_once, the unwinder) rely on.
#include <gtest/gtest.h>

#include <windows.h>

#include <pthread.h>

#include <stdexcept>

namespace {

// How long another thread may take for a once whose function returns at once.
const DWORD OtherThreadBoundMs = 5000;

pthread_once_t g_Throwing = PTHREAD_ONCE_INIT;
pthread_once_t g_Other = PTHREAD_ONCE_INIT;
int g_ThrowingCalls = 0;
int g_OtherCalls = 0;

void throwOnFirstCall()
{
    if (++g_ThrowingCalls == 1) {
        throw std::runtime_error("initialisation failed");
    }
}

void countOtherCall()
{
    ++g_OtherCalls;
}

DWORD WINAPI runOtherOnce(void *)
{
    pthread_once(&g_Other, countOtherCall);
    return 0;
}

// A function that throws leaves its control not run and the lock free: another thread's once
// completes, and the next call of the same control runs the function again, then never more.
TEST(PluginRuntime, OnceWhoseFunctionThrowsIsRunAgainAndBlocksNoOtherThread)
{
    EXPECT_THROW(pthread_once(&g_Throwing, throwOnFirstCall), std::runtime_error);

    HANDLE other = CreateThread(nullptr, 0, runOtherOnce, nullptr, 0, nullptr);
    ASSERT_NE(other, nullptr);
    const DWORD waited = WaitForSingleObject(other, OtherThreadBoundMs);
    CloseHandle(other);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "a once of another control waits for a function that threw";
    EXPECT_EQ(g_OtherCalls, 1);

    EXPECT_EQ(pthread_once(&g_Throwing, throwOnFirstCall), 0);
    EXPECT_EQ(pthread_once(&g_Throwing, throwOnFirstCall), 0);
    EXPECT_EQ(g_ThrowingCalls, 2);
}

}  // namespace
