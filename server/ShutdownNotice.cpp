#include "ShutdownNotice.h"

#include <objbase.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "EventLog.h"
#include "OPCServer.h"
#include "ServerList.h"
#include "Thread.h"

using Microsoft::WRL::ComPtr;

size_t NotifyShutdown(const wchar_t* reason, DWORD limitMs) {
    std::vector<ComPtr<IOPCShutdown>> sinks;
    try {
        ServerList::Instance().ForEach([&sinks](OPCServer& server) {
            for (auto& sink : server.ShutdownSinks()) sinks.push_back(std::move(sink));
        });
    } catch (const std::bad_alloc&) {
        // Those gathered so far are told.
    }
    if (sinks.empty()) return 0;
    const std::wstring text = reason != nullptr ? reason : L"";
    std::vector<std::unique_ptr<Thread>> calls;
    for (auto& sink : sinks) {
        auto thread = std::make_unique<Thread>();
        // The thread owns the sink and its copy of the text: one left behind
        // needs nothing of this function.
        const bool started = thread->Start([sink = std::move(sink), text]() mutable -> unsigned {
            const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            sink->ShutdownRequest(text.c_str());
            sink.Reset();  // a remote release is a call too
            if (SUCCEEDED(joined)) CoUninitialize();
            return 0;
        });
        if (started) calls.push_back(std::move(thread));
    }
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    size_t unanswered = 0;
    for (auto& call : calls) {
        const ULONGLONG now = GetTickCount64();
        if (!call->Join(now < deadline ? static_cast<DWORD>(deadline - now) : 0)) {
            call->Detach();
            ++unanswered;
        }
    }
    theEventLog << L"Shutdown requested of OPC clients:" << static_cast<unsigned>(calls.size()) << L"unanswered:"
                << static_cast<unsigned>(unanswered) << EventLog::EndEntry;
    return calls.size();
}
