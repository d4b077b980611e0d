#pragma once
// Recorded values played into the tags at their recorded pace: a CSV file of
// Timestamp,ItemID,Value[,Quality] rows (an optional header row first), in
// the texts the tag export writes. A row recorded at t is applied at
// start + (t - first t) / speed, with the row's quality and the time of
// playing, as any other value change, so subscribed clients see it.
//
// Every call is thread-safe and opens no window: the editor, the command line
// and OPC clients' threads drive the same object, one replay at a time.
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AutoResetEvent.h"
#include "CriticalSection.h"
#include "Thread.h"

class Configuration;

struct ReplayOptions {
    double speed = 1;   // positive: 2 plays twice as fast
    bool loop = false;  // after the last row, again from the first
};

// What a check of the file found: every bad row up to kMostErrors, each as
// "line N: what is wrong", and how many more there were.
struct ReplayCheck {
    static constexpr size_t kMostErrors = 100;
    std::vector<std::wstring> errors;
    size_t moreErrors = 0;
    std::uint64_t rows = 0;  // rows of values, the header aside
    bool Passed() const noexcept { return errors.empty(); }
    // The errors one to a line, and the count of the rest.
    std::wstring Text() const;
};

struct ReplayProgress {
    bool playing = false;
    std::uint64_t rowsPlayed = 0;  // in the current pass
    std::uint64_t rowsInFile = 0;
    std::uint64_t loopsCompleted = 0;
    std::uint64_t rowsSkipped = 0;  // tags gone, or a file changed since its check
};

enum class ReplayEnd { Finished, Stopped, Failed };

// A file loaded into the history of its tags instead of played. The check
// also refuses rows of tags that are not historized and rows older than the
// history's span: a file is loaded whole or not at all.
struct ReplayLoad {
    ReplayCheck check;
    std::uint64_t values = 0;  // samples written
    std::uint64_t tags = 0;    // the tags they went to
    // Rows the history still refused while they were written (a computed
    // past too large to turn into recorded samples, or the span moved past
    // them meanwhile), and the first of their lines.
    std::uint64_t notKept = 0;
    std::uint64_t firstNotKeptLine = 0;
};

class ValueReplay {
public:
    // Called on the replay's thread as it ends, no lock held: it only posts.
    using EndHandler = std::function<void(ReplayEnd)>;

    explicit ValueReplay(Configuration& configuration);
    ~ValueReplay();
    ValueReplay(const ValueReplay&) = delete;
    ValueReplay& operator=(const ValueReplay&) = delete;

    // One pass over the file; nothing is applied.
    ReplayCheck Check(const std::wstring& path);
    // Checks the file and, when it is sound, plays it on its own thread.
    // Refused while a replay plays. The result is also LastCheck().
    ReplayCheck Start(const std::wstring& path, const ReplayOptions& options, EndHandler onEnd = {});
    // Checks the file and writes every row into its tag's history at the
    // row's own time, replacing a sample there; the tags' values stay as
    // they are.
    ReplayLoad LoadIntoHistory(const std::wstring& path);
    // Ends the replay and waits for its thread (not when called from it).
    void Stop();
    bool IsPlaying() const noexcept { return m_playing.load(); }
    ReplayProgress Progress() const noexcept;
    ReplayCheck LastCheck() const;
    std::wstring FileName() const;

private:
    unsigned Play(std::wstring path, ReplayOptions options, EndHandler onEnd);
    ReplayEnd PlayPasses(const std::wstring& path, const ReplayOptions& options);

    Configuration& m_configuration;
    mutable CriticalSection m_lock;  // the thread and the texts below; never held across a wait for the thread
    Thread m_thread;
    std::atomic<DWORD> m_threadId{0};
    AutoResetEvent m_stop;
    ReplayCheck m_lastCheck;
    std::wstring m_fileName;
    std::atomic<bool> m_playing{false};
    std::atomic<bool> m_starting{false};
    std::atomic<std::uint64_t> m_rowsPlayed{0};
    std::atomic<std::uint64_t> m_rowsInFile{0};
    std::atomic<std::uint64_t> m_loopsCompleted{0};
    std::atomic<std::uint64_t> m_rowsSkipped{0};
};
