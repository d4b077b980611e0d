#pragma once
// The processes the UA benchmark starts under Wine, and what Linux says of
// them: Wine maps the Linux root to Z:, so /proc is Z:\proc, where a Wine
// process shows its Windows command line.
#include <windows.h>

#include <string>
#include <vector>

// Milliseconds on a monotonic clock.
double NowMs();

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `commandLine`; its output is kept when `capture` is set, else it goes nowhere.
    bool Start(const std::wstring& commandLine, bool capture);
    bool Running() const;
    // Waits up to `ms` for the end; false while it still runs.
    bool Wait(DWORD ms) const;
    DWORD ExitCode() const;
    void Terminate();
    // Takes what the process wrote so far.
    const std::string& Output();
    double StartedAt() const { return m_startedAt; }
    HANDLE Handle() const { return m_process; }

private:
    HANDLE m_process = nullptr;
    HANDLE m_output = nullptr;
    std::string m_text;
    double m_startedAt = 0;
};

// The Linux pid of the process whose command line holds every word and not
// `unless` (the benchmark's own command line names the servers too), or 0.
long FindLinuxPid(const std::vector<std::string>& words, const std::string& unless);
// utime + stime of a Linux process in seconds; negative when it cannot be read.
double LinuxCpuSeconds(long pid, double ticksPerSecond);
// Resident memory of a Linux process in bytes; negative when it cannot be read.
double LinuxRssBytes(long pid);
// A "Name:" line of a Linux process's status given in kB (RssAnon:, VmRSS:),
// in bytes; negative when it cannot be read.
double LinuxStatusBytes(long pid, const std::string& field);
// This process's own CPU time in seconds.
double OwnCpuSeconds();

// ASCII of a wide text for the report, '?' for the rest.
std::string Narrow(const std::wstring& text);
// The file name of a path.
std::wstring BaseName(const std::wstring& path);
