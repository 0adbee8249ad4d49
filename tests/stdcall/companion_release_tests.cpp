// How long the stdcall companion keeps korvat_nfc_library_for_vb.dll and korvat_nfc_tags.dll
// loaded: a DLL the application loaded only for each call, one the companion loaded until the
// companion is freed. A child process (tag_call_then_reload) initialises, opens the simulator's
// port and makes a tag call through the companion, frees what it loaded, sees both DLLs unloaded
// and, loading again, a fresh library. The three DLLs sit in one directory, as the SDK ships them.
// On x64 the companion is a build for the tests only (see bindings/stdcall).
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

using namespace korvat_test;

TEST(CompanionReleaseTest, WhatTheCompanionOrTheApplicationLoadedIsGoneAfterTheFreeAndTheNextLoadIsFresh)
{
    RegistryConfiguration registry;
    registry.configureSimPort(binDirectory() + "plugins");
    ScratchDirectory directory("companion_release");
    const struct {
        const char *dll;
        std::string from;
    } dlls[] = {{"korvat_nfc_stdcall.dll", binDirectory() + KORVAT_COMPANION_DIRECTORY},
                {"korvat_nfc_library_for_vb.dll", binDirectory()},
                {"korvat_nfc_tags.dll", binDirectory()}};
    for (const auto &d : dlls) {
        ASSERT_TRUE(CopyFileA((d.from + d.dll).c_str(), directory.file(d.dll).c_str(), FALSE)) << d.dll;
    }
    // companion: 32-bit VBA's way, the companion alone; companion_at_once: loaded again right
    // after its FreeLibrary; mixed: the application loads the main DLL itself and calls it through
    // the companion; foreign_release_variable: the release variable names a handle that is none of
    // the companion's.
    for (const char *mode : {"companion", "companion_at_once", "mixed", "foreign_release_variable"}) {
        const ChildRun run = runChildProcess("\"" + binDirectory() + "tag_call_then_reload.exe\" \"" +
                                                 directory.file(".") + "\" " + mode, 60000);
        ASSERT_TRUE(run.started && run.ended) << mode;
        EXPECT_EQ(run.exitCode, 0u) << mode << ": the child prints what differed";
    }
}
