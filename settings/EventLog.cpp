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
    ScopedLock guard(lock_);
    return fileName_;
}

bool EventLog::Open(const std::wstring& fileName) noexcept {
    ScopedLock guard(lock_);
    if (open_.load()) {
        if (EqualsNoCase(fileName, fileName_)) {
            return true;
        }
        CloseLocked();
    }
    return OpenLocked(fileName);
}

bool EventLog::Close() noexcept {
    ScopedLock guard(lock_);
    CloseLocked();
    return true;
}

bool EventLog::Reset() noexcept {
    ScopedLock guard(lock_);
    if (open_.load()) {
        CloseLocked();
        try {
            const std::wstring name = fileName_;
            OpenLocked(name);
        } catch (const std::bad_alloc&) {
        }
    }
    return true;
}

bool EventLog::OpenLocked(const std::wstring& fileName) noexcept {
    charactersWritten_ = 0;
    if (!file_.Create(fileName)) {
        return false;
    }
    try {
        fileName_ = fileName;
        pending_.clear();
        open_.store(true, std::memory_order_release);
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
    open_.store(false, std::memory_order_release);
    file_.Close();
}

void EventLog::AppendPiece(std::wstring_view piece) noexcept {
    const DWORD me = GetCurrentThreadId();
    if (entryOwner_.load(std::memory_order_acquire) != me) {
        lock_.lock();
        if (!open_.load()) {  // closed while this thread waited
            lock_.unlock();
            return;
        }
        entryOwner_.store(me, std::memory_order_release);
    } else if (!open_.load()) {
        return;  // closed inside this thread's entry: the piece goes nowhere
    }
    try {
        pending_.append(piece);
        pending_ += L' ';
    } catch (const std::bad_alloc&) {
    }
}

EventLog& EventLog::EndEntry(EventLog& log) noexcept {
    log.FinishEntry();
    return log;
}

void EventLog::FinishEntry() noexcept {
    // Only the thread whose pieces took the lock has anything to write; an
    // entry without pieces writes nothing.
    if (entryOwner_.load(std::memory_order_acquire) != GetCurrentThreadId()) {
        return;
    }
    if (open_.load()) {
        WriteEntryLocked(pending_, true);
    }
    pending_.clear();
    entryOwner_.store(0, std::memory_order_release);
    lock_.unlock();
}

void EventLog::WriteEntryLocked(std::wstring& text, bool mayReset) noexcept {
    if (text.empty() || !open_.load()) {
        text.clear();
        return;
    }
    try {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        const std::wstring header = FormatText(L"%08X - Time: %ls ms: %u\n", static_cast<unsigned>(GetCurrentThreadId()),
                                               FormatDateTime(now).c_str(), static_cast<unsigned>(now.wMilliseconds));
        text += (text.back() == L'\n') ? L"\n" : L"\n\n";
        const std::size_t counted = file_.Write(header) + file_.Write(text);
        if (file_.Flush()) {
            charactersWritten_ += static_cast<std::uint32_t>(counted);
        }
    } catch (const std::bad_alloc&) {
        file_.Discard();
    }
    text.clear();
    if (mayReset && charactersWritten_ > GetMaxSize()) {
        Reset();
    }
}

EventLog& EventLog::operator<<(const wchar_t* text) noexcept {
    if (IsOpen()) AppendPiece(text != nullptr ? std::wstring_view(text) : std::wstring_view());
    return *this;
}

EventLog& EventLog::operator<<(std::wstring_view text) noexcept {
    if (IsOpen()) AppendPiece(text);
    return *this;
}

EventLog& EventLog::operator<<(wchar_t character) noexcept {
    if (IsOpen()) AppendPiece(std::wstring_view(&character, 1));
    return *this;
}

template <typename T>
EventLog& EventLog::AppendNumber(const wchar_t* format, T value) noexcept {
    if (IsOpen()) {
        wchar_t buffer[32];  // a stack buffer: a number costs no allocation
        const int n = std::swprintf(buffer, sizeof buffer / sizeof buffer[0], format, value);
        AppendPiece(n > 0 ? std::wstring_view(buffer, static_cast<std::size_t>(n)) : std::wstring_view());
    }
    return *this;
}

EventLog& EventLog::operator<<(int value) noexcept { return AppendNumber(L"%d", value); }
EventLog& EventLog::operator<<(unsigned value) noexcept { return AppendNumber(L"%u", value); }
EventLog& EventLog::operator<<(long value) noexcept { return AppendNumber(L"%ld", value); }
EventLog& EventLog::operator<<(unsigned long value) noexcept { return AppendNumber(L"%lu", value); }
EventLog& EventLog::operator<<(long long value) noexcept { return AppendNumber(L"%lld", value); }
EventLog& EventLog::operator<<(unsigned long long value) noexcept { return AppendNumber(L"%llu", value); }
EventLog& EventLog::operator<<(double value) noexcept { return AppendNumber(L"%g", value); }
