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

void EventLog::WriteEntry(std::wstring& text) noexcept {
    ScopedLock guard(lock_);
    WriteEntryLocked(text, true);
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

void EventLog::Entry::Append(std::wstring_view piece) noexcept {
    if (!collecting_) return;
    try {
        text_.append(piece);
        text_ += L' ';
    } catch (const std::bad_alloc&) {
        // An entry that lost a piece is not written at all.
        collecting_ = false;
    }
}

EventLog::Entry& EventLog::Entry::operator<<(EndEntryMark) noexcept {
    if (collecting_) log_.WriteEntry(text_);
    collecting_ = false;
    text_.clear();
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
    if (collecting_) {
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
