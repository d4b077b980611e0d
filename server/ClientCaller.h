#pragma once
// A thread of its own for the calls that one of the server's threads makes
// into a client (a sink's method), so that the server's thread can stop
// waiting for a client that does not answer. Until Stop, a call is waited
// for as long as it takes: a slow client is served in order. After Stop no
// new call is made, and one still running is given what is left of
// kAnswerMs from its start; then it is left to end by itself, owning all it
// holds (the sink's reference, the data it sends), and its thread ends with
// it. (COM's call cancellation, CoCancelCall, would end such a call on
// Windows; Wine has none and aborts a process that calls it.)
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "ClientProcess.h"
#include "Thread.h"

class ClientCaller {
public:
    static constexpr DWORD kAnswerMs = 2000;

    enum class Outcome {
        Answered,     // the call returned; its result is given
        NotMade,      // stopped before it, or no memory for it
        NotAnswered,  // stopped, and the client did not answer in time
        LeftToCall,   // stopped by the call itself (it let go of what made it)
    };

    ClientCaller() noexcept;
    // Ends the thread, or leaves it to a call that has not returned.
    ~ClientCaller();
    ClientCaller(const ClientCaller&) = delete;
    ClientCaller& operator=(const ClientCaller&) = delete;

    // Runs `call` (HRESULT()) on this caller's thread, in the multithreaded
    // apartment, and waits as said above; *result is the call's own.
    template <class Call>
    Outcome Run(Call&& call, HRESULT* result = nullptr) noexcept {
        try {
            return RunCall(std::function<HRESULT()>(std::forward<Call>(call)), result);
        } catch (const std::bad_alloc&) {
            return Outcome::NotMade;
        }
    }
    // From any thread. `atOnce`: the waiter lets go without the grace (the
    // call itself is ending the waiter's owner).
    void Stop(bool atOnce = false) noexcept;
    // True on this caller's thread: inside one of its calls.
    bool IsCallingThread() const noexcept;

private:
    struct Shared;
    Outcome RunCall(std::function<HRESULT()> call, HRESULT* result) noexcept;

    std::shared_ptr<Shared> m_shared;  // null without memory: calls are made on the asking thread
    Thread m_thread;
    std::atomic<DWORD> m_threadId{0};
};

// Says in the event log that `client` did not answer `call` (a literal,
// "Interface::Method") and was left to it.
void LogNotAnswering(const ClientIdentity& client, const wchar_t* call) noexcept;
