#pragma once
// Around each case of a suite that drives the real program: no server runs
// before or after it, and a scratch folder holds the configuration the server
// opens and its event log (a name with a space, as users' names have).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "RegistryProbe.h"
#include "ServerProcess.h"
#include "TempFolder.h"
#include "TvfBuilder.h"

class ProcessSuite : public ::testing::Test {
protected:
    void SetUp() override { KillRunningServers(); }
    void TearDown() override { KillRunningServers(); }

    // Writes the configuration, points the settings at it (and at the event
    // log, or at none), and registers the program.
    void Prepare(const std::vector<BYTE>& configuration, bool withLog) {
        ASSERT_TRUE(WriteBytes(configFile, configuration));
        WriteServerSettings(withLog ? logFile : std::wstring(), configFile);
        ASSERT_NO_FATAL_FAILURE(Register());
    }
    static void Register() {
        ServerProcess registration;
        ASSERT_TRUE(registration.Start(L"/RegServer"));
        DWORD code = 1;
        ASSERT_TRUE(registration.WaitForExit(30000, &code));
        ASSERT_EQ(code, 0u);
    }

    TempFolder scratch;  // goes with its files after TearDown
    const std::wstring folder = scratch.Path().substr(0, scratch.Path().size() - 1);
    const std::wstring configFile = folder + L"\\Plant.tvf";
    const std::wstring logFile = folder + L"\\Server Events.txt";
};
