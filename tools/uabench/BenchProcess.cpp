#include "BenchProcess.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / frequency;
}

ChildProcess::~ChildProcess() {
    if (m_process != nullptr) CloseHandle(m_process);
    if (m_output != nullptr) CloseHandle(m_output);
}

bool ChildProcess::Start(const std::wstring& commandLine, bool capture) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write = nullptr;
    if (capture) {
        if (!CreatePipe(&m_output, &write, &inherit, 0)) return false;
        SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
    } else {
        write =
            CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    m_startedAt = NowMs();
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &info);
    if (write != nullptr && write != INVALID_HANDLE_VALUE) CloseHandle(write);
    if (!started) return false;
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    return true;
}

bool ChildProcess::Running() const { return m_process != nullptr && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }

bool ChildProcess::Wait(DWORD ms) const {
    return m_process == nullptr || WaitForSingleObject(m_process, ms) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (m_process != nullptr) GetExitCodeProcess(m_process, &code);
    return code;
}

void ChildProcess::Terminate() {
    if (Running()) TerminateProcess(m_process, 1);
    Wait(30000);
}

const std::string& ChildProcess::Output() {
    if (m_output == nullptr) return m_text;
    DWORD available = 0;
    while (PeekNamedPipe(m_output, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(m_output, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        m_text.append(buffer, got);
    }
    return m_text;
}

namespace {
std::string ReadProcFile(long pid, const char* name) {
    std::ifstream file("Z:\\proc\\" + std::to_string(pid) + "\\" + name, std::ios::binary);
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
}  // namespace

long FindLinuxPid(const std::vector<std::string>& words, const std::string& unless) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    long result = 0;
    do {
        char* end = nullptr;
        const long pid = std::strtol(found.cFileName, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::string line = ReadProcFile(pid, "cmdline");
        for (char& c : line) {
            if (c == '\0') c = ' ';
        }
        bool all = !line.empty() && line.find(unless) == std::string::npos;
        for (const std::string& word : words) all = all && line.find(word) != std::string::npos;
        if (all) {
            result = pid;
            break;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return result;
}

double LinuxCpuSeconds(long pid, double ticksPerSecond) {
    if (pid <= 0) return -1;
    const std::string stat = ReadProcFile(pid, "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    // After the name: state, ppid, ... utime is the 12th field from there, stime the 13th.
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double utime = -1, stime = -1;
    for (int i = 0; i < 13 && fields >> field; ++i) {
        if (i == 11) utime = std::atof(field.c_str());
        if (i == 12) stime = std::atof(field.c_str());
    }
    if (utime < 0 || stime < 0) return -1;
    return (utime + stime) / ticksPerSecond;
}

double LinuxRssBytes(long pid) { return LinuxStatusBytes(pid, "VmRSS:"); }

double LinuxStatusBytes(long pid, const std::string& field) {
    if (pid <= 0) return -1;
    const std::string status = ReadProcFile(pid, "status");
    const size_t at = status.find(field);
    if (at == std::string::npos) return -1;
    return std::atof(status.c_str() + at + field.size()) * 1024.0;
}

double OwnCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::wstring BaseName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}
