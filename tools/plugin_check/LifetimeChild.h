// One lifetime step of the plug-in checker, run in a child process: the checker starts itself
// again with the hidden option ChildOption naming the step. The child loads the library from the
// checker's own directory, opens the port through it (with the registry configuration of this
// machine, as any application would), brings the library to the state the step needs, announces
// the moment the step begins, and then unloads the library or ends the process as the step says.
//
// What the child prints on its standard output, one line each, for the checker to read:
//   notrun <reason>     the step could not be brought about (exit code NotRunExitCode)
//   begin <counter>     QueryPerformanceCounter right before the step's action
//   returned <ms>       the action (a FreeLibrary) returned after this many milliseconds
//   detach <text>       what the helper DLL's DLL_PROCESS_DETACH called, and how long it took
//   blocked <ms>        the status call under the loader lock had not returned after <ms>
//   status <ms>         it returned after <ms>
// Exit code 0: everything the child did worked and the process ended by itself.
#pragma once

#include <cstdint>
#include <string>

struct LifetimeStep {
    enum Kind {
        FreeLibraryStep,  // the action is a FreeLibrary that must return
        ExitStep,         // the process ends
        StatusUnderLoaderLock,  // gp_get_driver_status, called directly while another thread
                                // holds the loader lock, must return
    };
    const char *name;     // the check is "lifetime.<name>"
    const char *action;   // what is done, as the report says it
    bool polling;         // poll mode runs when the step begins
    bool helper;          // the helper DLL calls stop and close from its DLL_PROCESS_DETACH
    Kind kind;
    bool deviceAccess;    // device access to the first target reported is enabled first
    bool freesLibrary() const { return kind == FreeLibraryStep; }
};

class LifetimeChild {
public:
    static const char ChildOption[];
    static const int NotRunExitCode = 3;
    // How long the status call may take while another thread holds the loader lock; a call that
    // waits for the loader lock takes as long as the lock is held, LoaderLockHoldMilliseconds.
    static const unsigned long StatusUnderLoaderLockBoundMilliseconds = 1000;
    static const unsigned long LoaderLockHoldMilliseconds = 3000;
    // How long a plug-in may stay loaded after the library's FreeLibrary before it counts as kept.
    static const int KeptPluginWaitMilliseconds = 2000;
    // How long the device-access step waits for a target to be reported.
    static const unsigned long TargetWaitMilliseconds = 5000;
    // The helper DLL shipped beside the checker, and its export that arms its detach.
    static const char HelperFileName[];
    static const char HelperArmExport[];

    // Every step, in the order the checker runs them; count gives their number.
    static const LifetimeStep *steps(size_t &count);
    static const LifetimeStep *find(const std::string &name);

    // The directory of the checker's program, with its final backslash, where its helper DLLs
    // lie; empty when it cannot be had.
    static std::string programDirectory();

    // The child's whole work for one step; returns the process's exit code.
    static int run(const LifetimeStep &step, const std::string &plugin, const std::string &port,
                   uint32_t targetDevice);
};
