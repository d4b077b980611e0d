#include "ClientCaller.h"

#include <objbase.h>

#include "EventLog.h"

namespace {
// The bits of the state word, which both sides wait on with WaitOnAddress:
// a handover costs microseconds where an event costs a trip to the kernel.
constexpr LONG kCall = 1;    // a call is handed over and has not returned
constexpr LONG kStop = 2;    // no new call; the one running gets its grace
constexpr LONG kAtOnce = 4;  // no grace either
constexpr LONG kQuit = 8;    // the idle thread ends
constexpr LONG kLeft = 16;   // nobody waits: the thread ends after its call
}  // namespace

struct ClientCaller::Shared {
    std::atomic<LONG> state{0};
    std::function<HRESULT()> call;  // handed over with kCall, let go on the thread
    HRESULT result = S_OK;
    ULONGLONG started = 0;

    void Wait(LONG seen, DWORD milliseconds) noexcept {
        static_assert(sizeof(state) == sizeof(LONG), "WaitOnAddress compares the word itself");
        WaitOnAddress(&state, &seen, sizeof(seen), milliseconds);
    }
    void Wake() noexcept { WakeByAddressAll(&state); }
};

ClientCaller::ClientCaller() noexcept {
    try {
        m_shared = std::make_shared<Shared>();
    } catch (const std::bad_alloc&) {
        // Calls are then made on the asking thread, as with no caller.
    }
}

ClientCaller::~ClientCaller() {
    if (m_shared == nullptr) return;
    const LONG before = m_shared->state.fetch_or(kQuit);
    m_shared->Wake();
    if ((before & kLeft) != 0) {
        m_thread.Detach();
    } else {
        m_thread.Join();  // idle: it ends at once
    }
}

void ClientCaller::Stop(bool atOnce) noexcept {
    if (m_shared == nullptr) return;
    m_shared->state.fetch_or(atOnce ? kStop | kAtOnce : kStop);
    m_shared->Wake();
}

bool ClientCaller::IsCallingThread() const noexcept {
    const DWORD id = m_threadId.load();
    return id != 0 && id == GetCurrentThreadId();
}

ClientCaller::Outcome ClientCaller::RunCall(std::function<HRESULT()> call, HRESULT* result) noexcept {
    Shared* shared = m_shared.get();
    if (shared != nullptr && (shared->state.load() & (kStop | kLeft)) != 0) return Outcome::NotMade;
    if (shared != nullptr && !m_thread.IsRunning()) {
        std::shared_ptr<Shared> owned = m_shared;
        try {
            m_thread.Start([owned]() -> unsigned {
                const bool joined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
                for (;;) {
                    const LONG seen = owned->state.load();
                    if ((seen & kCall) != 0) {
                        owned->result = owned->call();
                        owned->call = nullptr;  // the sink's reference goes here, on this thread
                        const LONG before = owned->state.fetch_and(~kCall);
                        owned->Wake();
                        if ((before & kLeft) != 0) break;
                    } else if ((seen & kQuit) != 0) {
                        break;
                    } else {
                        owned->Wait(seen, INFINITE);
                    }
                }
                if (joined) CoUninitialize();
                return 0;
            });
        } catch (const std::bad_alloc&) {}
        m_threadId.store(m_thread.Id());
    }
    if (shared == nullptr || !m_thread.IsRunning()) {
        const HRESULT hr = call();
        if (result != nullptr) *result = hr;
        return Outcome::Answered;
    }
    shared->call = std::move(call);
    shared->started = GetTickCount64();
    shared->state.fetch_or(kCall);
    shared->Wake();
    for (;;) {
        const LONG seen = shared->state.load();
        if ((seen & kCall) == 0) break;
        DWORD wait = INFINITE;
        if ((seen & kStop) != 0) {
            const ULONGLONG ran = GetTickCount64() - shared->started;
            if ((seen & kAtOnce) != 0 || ran >= kAnswerMs) {
                // Unless it returned in this very moment, the call is its thread's alone from here.
                if ((shared->state.fetch_or(kLeft) & kCall) == 0) break;
                return (seen & kAtOnce) != 0 ? Outcome::LeftToCall : Outcome::NotAnswered;
            }
            wait = static_cast<DWORD>(kAnswerMs - ran);
        }
        shared->Wait(seen, wait);
    }
    if (result != nullptr) *result = shared->result;
    return Outcome::Answered;
}

void LogNotAnswering(const ClientIdentity& client, const wchar_t* call) noexcept {
    const std::wstring& image = client.process.ImageName();
    theEventLog << L"OPC client not answering - Name:" << (client.name.empty() ? L"(not set)" : client.name.c_str())
                << L"Process:" << (image.empty() ? L"(unknown)" : image.c_str()) << L"Id:"
                << static_cast<unsigned long>(client.process.Id()) << L"Call:" << call << EventLog::EndEntry;
}
