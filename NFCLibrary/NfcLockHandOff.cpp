#include "NfcLockHandOff.h"

#include "NfcProcessState.h"

std::atomic<bool> NfcLockHandOff::s_CycleWaiting{false};
HANDLE NfcLockHandOff::s_CyclePassed = nullptr;

void NfcLockHandOff::create()
{
    if (s_CyclePassed == nullptr) {
        s_CyclePassed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
}

void NfcLockHandOff::destroy()
{
    if (s_CyclePassed != nullptr) {
        CloseHandle(s_CyclePassed);
        s_CyclePassed = nullptr;
    }
}

bool NfcLockHandOff::shouldGiveWaySlow()
{
    // Read under the lock: the notification thread clears the flag only while it holds the lock
    // (or when it gives up), so a set flag means its cycle is still to come.
    return s_CyclePassed != nullptr && s_CycleWaiting.load(std::memory_order_acquire) && NfcProcessState::mayWaitForThread();
}

void NfcLockHandOff::waitForCycle()
{
    WaitForSingleObject(s_CyclePassed, GiveWayBoundMilliseconds);
}

void NfcLockHandOff::cycleWaits()
{
    if (s_CyclePassed != nullptr) {
        ResetEvent(s_CyclePassed);
    }
    s_CycleWaiting.store(true, std::memory_order_release);
}

void NfcLockHandOff::cycleEntered()
{
    s_CycleWaiting.store(false, std::memory_order_release);
}

void NfcLockHandOff::cyclePassed()
{
    s_CycleWaiting.store(false, std::memory_order_release);
    if (s_CyclePassed != nullptr) {
        SetEvent(s_CyclePassed);
    }
}
