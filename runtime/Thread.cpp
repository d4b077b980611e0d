#include "Thread.h"

#include <process.h>
#include <memory>

Thread::~Thread() {
    if (handle_ != nullptr) {
        // A running thread is never torn from under itself: wait for it.
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
    }
}

unsigned __stdcall Thread::Trampoline(void* arg) {
    std::unique_ptr<std::function<unsigned()>> body(static_cast<std::function<unsigned()>*>(arg));
    return (*body)();
}

bool Thread::Start(std::function<unsigned()> body) {
    if (handle_ != nullptr) {
        return false;
    }
    auto* heapBody = new std::function<unsigned()>(std::move(body));
    unsigned id = 0;
    const auto h = _beginthreadex(nullptr, 0, &Thread::Trampoline, heapBody, 0, &id);
    if (h == 0) {
        delete heapBody;
        return false;
    }
    handle_ = reinterpret_cast<HANDLE>(h);
    id_ = id;
    return true;
}

bool Thread::Join(DWORD milliseconds) noexcept {
    if (handle_ == nullptr) {
        return true;
    }
    if (WaitForSingleObject(handle_, milliseconds) != WAIT_OBJECT_0) {
        return false;
    }
    CloseHandle(handle_);
    handle_ = nullptr;
    id_ = 0;
    return true;
}

void Thread::Detach() noexcept {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
    id_ = 0;
}
