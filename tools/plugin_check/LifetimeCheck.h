// The checker's lifetime steps: each one (see LifetimeChild) runs in a child process of its own
// so that a plug-in that hangs its host at FreeLibrary or at process exit gives a FAIL line with
// the time waited instead of a hung checker. A step passes when the child ends by itself, in
// time, with exit code 0; a child that overstays the bound is ended.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "CheckReport.h"
#include "LifetimeChild.h"

struct LifetimeOptions {
    std::string checker;       // this program's own path
    std::string plugin;        // full path of the plug-in file
    std::string port;
    uint32_t targetDevice = 0x0F;
    DWORD boundMs = 10000;     // from the step's beginning to the child's end
};

class LifetimeCheck {
public:
    LifetimeCheck(const LifetimeOptions &options, CheckReport &report);
    // Every step in turn, one line each; false when a step could not be run (WARN "not run").
    bool run();

    // How long a child may take to reach its step (load, initialise, open, poll).
    static const DWORD SetupBoundMilliseconds = 60000;

private:
    void runStep(const LifetimeStep &step);

    const LifetimeOptions &m_Options;
    CheckReport &m_Report;
    bool m_AllRan = true;
};
