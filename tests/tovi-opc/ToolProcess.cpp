#include "ToolProcess.h"

#include "ToolUnderTest.h"

namespace {
std::wstring ToolPath() {
    std::wstring path = L"Z:" TOVI_CLIENT_EXE;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}
}  // namespace

ToolProcess::~ToolProcess() {
    if (m_info.hProcess != nullptr) {
        DWORD code = 0;
        if (!Wait(0, &code)) TerminateProcess(m_info.hProcess, 99);
        WaitForSingleObject(m_info.hProcess, 5000);
        CloseHandle(m_info.hProcess);
        CloseHandle(m_info.hThread);
    }
    if (m_outputPump.joinable()) m_outputPump.join();
    if (m_errorPump.joinable()) m_errorPump.join();
}

void ToolProcess::Pump(HANDLE pipe, std::string* into) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        std::lock_guard<std::mutex> guard(m_lock);
        // Line ends as text: the console's "\r\n" is the C runtime's, not the tool's.
        for (DWORD i = 0; i < read; ++i) {
            if (buffer[i] != '\r') into->push_back(buffer[i]);
        }
    }
    CloseHandle(pipe);
}

bool ToolProcess::Start(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0)) return false;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring command = L"\"" + ToolPath() + L"\" " + arguments;
    const BOOL started =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &m_info);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        m_info = PROCESS_INFORMATION{};
        return false;
    }
    m_outputPump = std::thread(&ToolProcess::Pump, this, outRead, &m_output);
    m_errorPump = std::thread(&ToolProcess::Pump, this, errRead, &m_errors);
    return true;
}

bool ToolProcess::Wait(DWORD milliseconds, DWORD* exitCode) {
    if (m_info.hProcess == nullptr || WaitForSingleObject(m_info.hProcess, milliseconds) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(m_info.hProcess, exitCode);
    // Everything it wrote has arrived once the pipes are closed.
    if (m_outputPump.joinable()) m_outputPump.join();
    if (m_errorPump.joinable()) m_errorPump.join();
    return true;
}

bool ToolProcess::WaitForOutput(const std::string& text, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        if (Output().find(text) != std::string::npos) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(25);
    }
}

std::string ToolProcess::Output() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_output;
}

std::string ToolProcess::Errors() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_errors;
}

ToolRun RunTool(const std::wstring& arguments, DWORD milliseconds) {
    ToolRun run;
    ToolProcess tool;
    if (!tool.Start(arguments)) return run;
    if (!tool.Wait(milliseconds, &run.code)) run.code = 99;
    run.out = tool.Output();
    run.err = tool.Errors();
    return run;
}
