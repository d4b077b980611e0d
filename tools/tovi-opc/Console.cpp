#include "Console.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(StopEvent());
        return TRUE;
    }
    return FALSE;
}
}  // namespace

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(OutputLock());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& line) {
    std::lock_guard<std::mutex> guard(OutputLock());
    std::fprintf(stderr, "tovi-opc: error: %s\n", line.c_str());
    std::fflush(stderr);
}

void PrintNote(const std::string& line) {
    std::lock_guard<std::mutex> guard(OutputLock());
    std::fprintf(stderr, "tovi-opc: %s\n", line.c_str());
    std::fflush(stderr);
}

HANDLE StopEvent() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

void CatchStop(bool on) { SetConsoleCtrlHandler(OnConsoleControl, on ? TRUE : FALSE); }
