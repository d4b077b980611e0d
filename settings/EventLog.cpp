#include "EventLog.h"

#include <cwchar>
#include <new>

#include "DateTimeText.h"
#include "Text.h"

EventLog theEventLog;

namespace {
const wchar_t kStartedMessage[] = L"Log started or reset - Max Size(bytes):";
}  // namespace

EventLog::EventLog() noexcept = default;

EventLog::~EventLog() { Close(); }

std::wstring EventLog::GetFileName() const {
    ScopedLock guard(m_lock);
    return m_fileName;
}

bool EventLog::Open(const std::wstring& fileName) noexcept {
    ScopedLock guard(m_lock);
    if (m_open.load()) {
        if (EqualsNoCase(fileName, m_fileName)) {
            return true;
        }
        CloseLocked();
    }
    return OpenLocked(fileName);
}

bool EventLog::Close() noexcept {
    ScopedLock guard(m_lock);
    CloseLocked();
    return true;
}

bool EventLog::Reset() noexcept {
    ScopedLock guard(m_lock);
    if (m_open.load()) {
        CloseLocked();
        try {
            const std::wstring name = m_fileName;
            OpenLocked(name);
        } catch (const std::bad_alloc&) {}
    }
    return true;
}

bool EventLog::OpenLocked(const std::wstring& fileName) noexcept {
    m_charactersWritten = 0;
    m_charactersQueued = 0;
    if (!m_file.Create(fileName)) {
        return false;
    }
    try {
        m_fileName = fileName;
        m_open.store(true, std::memory_order_release);
        std::wstring first = kStartedMessage;
        first += L' ';
        first += std::to_wstring(GetMaxSize());
        first += L' ';
        // The opening entry never triggers a reset itself, however small the limit.
        WriteEntryLocked(first, false);
    } catch (const std::bad_alloc&) {
        // Open without its opening entry: the file itself is usable.
    }
    return true;
}

void EventLog::CloseLocked() noexcept {
    FlushLocked();
    m_open.store(false, std::memory_order_release);
    m_file.Close();
}

EventLog::BatchedWrites::BatchedWrites(EventLog& log) noexcept : m_log(log) {
    ScopedLock guard(m_log.m_lock);
    ++m_log.m_batches;
}

EventLog::BatchedWrites::~BatchedWrites() {
    ScopedLock guard(m_log.m_lock);
    if (--m_log.m_batches == 0) m_log.FlushLocked();
}

void EventLog::FlushLocked() noexcept {
    if (m_file.QueuedBytes() == 0) return;
    if (m_file.Flush()) m_charactersWritten += m_charactersQueued;
    m_charactersQueued = 0;
}

const std::wstring& EventLog::DateTimeTextLocked(const SYSTEMTIME& now) {
    const bool sameSecond = !m_dateTimeText.empty() && now.wSecond == m_textTime.wSecond &&
                            now.wMinute == m_textTime.wMinute && now.wHour == m_textTime.wHour &&
                            now.wDay == m_textTime.wDay && now.wMonth == m_textTime.wMonth &&
                            now.wYear == m_textTime.wYear;
    if (!sameSecond) {
        m_dateTimeText = FormatDateTime(now);
        m_textTime = now;
    }
    return m_dateTimeText;
}

void EventLog::WriteEntry(std::wstring& text) noexcept {
    ScopedLock guard(m_lock);
    WriteEntryLocked(text, true);
}

void EventLog::WriteEntryLocked(std::wstring& text, bool mayReset) noexcept {
    // A batch hands the file this much at a time.
    constexpr std::size_t kBatchBytes = 64 * 1024;
    if (text.empty() || !m_open.load()) {
        text.clear();
        return;
    }
    try {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        std::wstring entry = FormatText(L"%08X - Time: %ls ms: %u\n", static_cast<unsigned>(GetCurrentThreadId()),
                                        DateTimeTextLocked(now).c_str(), static_cast<unsigned>(now.wMilliseconds));
        entry += text;
        entry += (text.back() == L'\n') ? L"\n" : L"\n\n";
        m_charactersQueued += static_cast<std::uint32_t>(m_file.Write(entry));
    } catch (const std::bad_alloc&) {
        // This entry is lost; those queued before it are not.
    }
    text.clear();
    // The limit is held entry by entry, batched or not.
    if (m_batches == 0 || m_file.QueuedBytes() >= kBatchBytes ||
        m_charactersWritten + m_charactersQueued > GetMaxSize()) {
        FlushLocked();
    }
    if (mayReset && m_charactersWritten > GetMaxSize()) {
        Reset();
    }
}

void EventLog::Entry::Append(std::wstring_view piece) noexcept {
    if (!m_collecting) return;
    try {
        m_text.append(piece);
        m_text += L' ';
    } catch (const std::bad_alloc&) {
        // An entry that lost a piece is not written at all.
        m_collecting = false;
    }
}

EventLog::Entry& EventLog::Entry::operator<<(EndEntryMark) noexcept {
    if (m_collecting) m_log.WriteEntry(m_text);
    m_collecting = false;
    m_text.clear();
    return *this;
}

EventLog::Entry& EventLog::Entry::operator<<(const wchar_t* text) noexcept {
    Append(text != nullptr ? std::wstring_view(text) : std::wstring_view());
    return *this;
}

EventLog::Entry& EventLog::Entry::operator<<(std::wstring_view text) noexcept {
    Append(text);
    return *this;
}

EventLog::Entry& EventLog::Entry::operator<<(wchar_t character) noexcept {
    Append(std::wstring_view(&character, 1));
    return *this;
}

template <typename T>
EventLog::Entry& EventLog::Entry::Number(const wchar_t* format, T value) noexcept {
    if (m_collecting) {
        wchar_t buffer[32];  // a stack buffer: a number costs no allocation
        const int n = std::swprintf(buffer, sizeof buffer / sizeof buffer[0], format, value);
        Append(n > 0 ? std::wstring_view(buffer, static_cast<std::size_t>(n)) : std::wstring_view());
    }
    return *this;
}

template EventLog::Entry& EventLog::Entry::Number(const wchar_t*, int) noexcept;
template EventLog::Entry& EventLog::Entry::Number(const wchar_t*, unsigned) noexcept;
template EventLog::Entry& EventLog::Entry::Number(const wchar_t*, long) noexcept;
template EventLog::Entry& EventLog::Entry::Number(const wchar_t*, unsigned long) noexcept;
template EventLog::Entry& EventLog::Entry::Number(const wchar_t*, long long) noexcept;
template EventLog::Entry& EventLog::Entry::Number(const wchar_t*, unsigned long long) noexcept;
template EventLog::Entry& EventLog::Entry::Number(const wchar_t*, double) noexcept;
