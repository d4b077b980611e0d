#pragma once
// Memory handed to COM clients: always from the task allocator, sizes checked
// for overflow so that a huge client count never yields a short buffer.
#include <windows.h>
#include <objbase.h>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

struct TaskMemDeleter {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};
template <class T>
using TaskMemPtr = std::unique_ptr<T, TaskMemDeleter>;

// Zero-filled array of 'count' elements, or null when it cannot be had.
template <class T>
T* TaskAllocArray(std::size_t count) noexcept {
    if (count == 0) {
        count = 1;  // a valid, freeable pointer even for empty results
    }
    if (count > std::numeric_limits<SIZE_T>::max() / sizeof(T) ||
        count * sizeof(T) > std::numeric_limits<ULONG>::max()) {
        return nullptr;
    }
    void* p = CoTaskMemAlloc(static_cast<SIZE_T>(count * sizeof(T)));
    if (p != nullptr) {
        std::memset(p, 0, count * sizeof(T));
    }
    return static_cast<T*>(p);
}

// Null-terminated copy of text from the task allocator, or null.
inline LPWSTR TaskStrDup(std::wstring_view text) noexcept {
    auto* p = TaskAllocArray<wchar_t>(text.size() + 1);
    if (p != nullptr) {
        std::memcpy(p, text.data(), text.size() * sizeof(wchar_t));
        p[text.size()] = L'\0';
    }
    return p;
}
