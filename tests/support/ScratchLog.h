#pragma once
// The process-wide event log, written to a folder of one test's own while
// the test runs, and read back as UTF-8 text.
#include <gtest/gtest.h>
#include <string>

#include "EventLog.h"
#include "TempFolder.h"

class ScratchLog {
public:
    ScratchLog() { EXPECT_TRUE(theEventLog.Open(m_folder.File(L"events.txt"))); }
    ~ScratchLog() { theEventLog.Close(); }
    ScratchLog(const ScratchLog&) = delete;
    ScratchLog& operator=(const ScratchLog&) = delete;

    std::string Text() const { return ReadFileBytes(m_folder.File(L"events.txt")); }
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }

private:
    TempFolder m_folder;
};
