#pragma once
// Runs tovi-opc.exe as a user does, with its output streams captured.
#include <windows.h>
#include <mutex>
#include <string>
#include <thread>

class ToolProcess {
public:
    ToolProcess() = default;
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    bool Start(const std::wstring& arguments);
    // True with the exit code when it ended within the time.
    bool Wait(DWORD milliseconds, DWORD* exitCode);
    // Whether the output has shown `text` within the time.
    bool WaitForOutput(const std::string& text, DWORD milliseconds);
    std::string Output();
    std::string Errors();

private:
    void Pump(HANDLE pipe, std::string* into);
    PROCESS_INFORMATION m_info{};
    std::mutex m_lock;
    std::string m_output, m_errors;
    std::thread m_outputPump, m_errorPump;
};

struct ToolRun {
    DWORD code = 99;  // 99: did not end in time
    std::string out, err;
};
// Runs to the end (bounded).
ToolRun RunTool(const std::wstring& arguments, DWORD milliseconds = 60000);
