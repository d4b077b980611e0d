#include "Thread.h"

#include <process.h>
#include <memory>

Thread::~Thread() {
    if (m_handle != nullptr) {
        // A running thread is never torn from under itself: wait for it.
        WaitForSingleObject(m_handle, INFINITE);
        CloseHandle(m_handle);
    }
}

unsigned __stdcall Thread::Trampoline(void* arg) {
    std::unique_ptr<std::function<unsigned()>> body(static_cast<std::function<unsigned()>*>(arg));
    return (*body)();
}

bool Thread::Start(std::function<unsigned()> body) {
    if (m_handle != nullptr) {
        return false;
    }
    auto* heapBody = new std::function<unsigned()>(std::move(body));
    unsigned id = 0;
    const auto h = _beginthreadex(nullptr, 0, &Thread::Trampoline, heapBody, 0, &id);
    if (h == 0) {
        delete heapBody;
        return false;
    }
    m_handle = reinterpret_cast<HANDLE>(h);
    m_id = id;
    return true;
}

bool Thread::Join(DWORD milliseconds) noexcept {
    if (m_handle == nullptr) {
        return true;
    }
    if (WaitForSingleObject(m_handle, milliseconds) != WAIT_OBJECT_0) {
        return false;
    }
    CloseHandle(m_handle);
    m_handle = nullptr;
    m_id = 0;
    return true;
}

void Thread::Detach() noexcept {
    if (m_handle != nullptr) CloseHandle(m_handle);
    m_handle = nullptr;
    m_id = 0;
}
