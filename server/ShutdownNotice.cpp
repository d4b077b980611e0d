#include "ShutdownNotice.h"

#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ClientCaller.h"
#include "EventLog.h"
#include "OPCServer.h"
#include "ServerList.h"
#include "Thread.h"

using Microsoft::WRL::ComPtr;

size_t NotifyShutdown(const wchar_t* reason, DWORD limitMs) {
    std::vector<ComPtr<IOPCShutdown>> sinks;
    std::vector<ClientIdentity> clients;  // of each sink
    try {
        ServerList::Instance().ForEach([&sinks, &clients](OPCServer& server) {
            const ClientIdentity client = server.Client();
            for (auto& sink : server.ShutdownSinks()) {
                clients.push_back(client);
                sinks.push_back(std::move(sink));
            }
        });
    } catch (const std::bad_alloc&) {
        // Those gathered so far are told.
        sinks.resize(std::min(sinks.size(), clients.size()));
    }
    if (sinks.empty()) return 0;
    const std::wstring text = reason != nullptr ? reason : L"";
    std::vector<std::unique_ptr<Thread>> calls;
    std::vector<const ClientIdentity*> called;  // the client of each call
    calls.reserve(sinks.size());
    called.reserve(sinks.size());
    for (size_t i = 0; i < sinks.size(); ++i) {
        ComPtr<IOPCShutdown>& sink = sinks[i];
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
        if (started) {
            calls.push_back(std::move(thread));
            called.push_back(&clients[i]);
        }
    }
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    size_t unanswered = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        const ULONGLONG now = GetTickCount64();
        if (!calls[i]->Join(now < deadline ? static_cast<DWORD>(deadline - now) : 0)) {
            calls[i]->Detach();
            ++unanswered;
            LogNotAnswering(*called[i], L"IOPCShutdown::ShutdownRequest");
        }
    }
    theEventLog << L"Shutdown requested of OPC clients:" << static_cast<unsigned>(calls.size()) << L"unanswered:"
                << static_cast<unsigned>(unanswered) << EventLog::EndEntry;
    return calls.size();
}
