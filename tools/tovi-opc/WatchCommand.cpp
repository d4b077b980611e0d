// tovi-opc watch: subscribes to the items' changes (OPC DA 2.0's callback, or
// 1.0a's OPCSTMFORMATDATATIME stream) and prints one line per changed item,
// and one per keep-alive the group was asked for (OPC DA 3.0), until Ctrl+C,
// the time is up, or the server goes away.
#include <windows.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "ItemGroup.h"
#include "RecordFormat.h"
#include "ServerConnection.h"
#include "Subscription.h"
#include "Text.h"
#include "ValueText.h"

namespace {
constexpr DWORD kAliveCheckMs = 500;

struct SeenValue {
    VARTYPE type;
    std::string text;
    WORD quality;
    FILETIME time;
    HRESULT error;
    bool operator==(const SeenValue& o) const {
        return type == o.type && text == o.text && quality == o.quality && CompareFileTime(&time, &o.time) == 0 &&
               error == o.error;
    }
};

struct SeenValues {
    std::mutex lock;
    std::map<DWORD, SeenValue> last;
};

// OPC DA 3.0's keep-alive of the group; the server's own value is told when
// it differs. False when the group has none (reported).
bool SetKeepAliveOrReport(ItemGroup& group, DWORD keepAliveMs) {
    ComPtr<IOPCGroupStateMgt2> state;
    HRESULT hr =
        group.Management()->QueryInterface(IID_IOPCGroupStateMgt2, reinterpret_cast<void**>(state.GetAddressOf()));
    DWORD revised = keepAliveMs;
    if (SUCCEEDED(hr)) hr = state->SetKeepAlive(keepAliveMs, &revised);
    if (FAILED(hr)) {
        PrintError("the group takes no keep-alive (OPC DA 3.0's IOPCGroupStateMgt2): " + ResultText(hr));
        if (IsConnectionLost(hr)) {
            state.Detach();
            group.Abandon();
        }
        return false;
    }
    if (revised != keepAliveMs) {
        PrintNote("the server keeps the group alive every " + std::to_string(revised) + " ms, not " +
                  std::to_string(keepAliveMs) + " ms");
    }
    return true;
}
}  // namespace

int RunWatch(const Arguments& args) {
    if (args.words.size() < 2) {
        PrintError("watch needs a ProgID and at least one item ID (see tovi-opc watch --help)");
        return kExitUsage;
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    ItemGroup group(server.Get());
    if (!group.CreateOrReport({args.words.begin() + 1, args.words.end()}, true, args.rateMs)) return kExitFailed;
    HRESULT hr = S_OK;
    bool allAdded = true;
    bool anyAdded = false;
    for (const GroupItem& item : group.Items()) {
        if (FAILED(item.added)) {
            PrintError(ToUtf8(item.id) + ": " + ResultText(item.added));
            allAdded = false;
        } else {
            anyAdded = true;
        }
    }
    if (!anyAdded) return kExitFailed;

    if (args.keepAliveGiven && !SetKeepAliveOrReport(group, args.keepAliveMs)) return kExitFailed;
    const bool beats = args.keepAliveGiven && args.keepAliveMs != 0;

    std::vector<std::string> ids;
    for (const GroupItem& item : group.Items()) ids.push_back(ToUtf8(item.id));
    std::atomic<bool> malformed{false};
    auto itemFailed = std::make_shared<std::atomic<bool>>(false);
    const WatchFormat output = args.format;
    const std::string header = RecordHeader(output);
    if (!header.empty()) PrintLine(header);
    Subscription subscription;
    std::string why;
    hr = subscription.Start(
        group.Management(), args.version,
        [ids, output, itemFailed, beats, seen = std::make_shared<SeenValues>()](const DataStream& stream) {
            std::lock_guard<std::mutex> guard(seen->lock);
            // A keep-alive: a callback without items and outside any transaction.
            if (beats && stream.items.empty() && stream.transactionId == 0) {
                FILETIME now;
                GetSystemTimeAsFileTime(&now);
                PrintLine(FormatKeepAlive(output, now));
                return;
            }
            for (const StreamItem& item : stream.items) {
                // Some servers resend what has not changed: one line per change.
                SeenValue now{V_VT(&item.value), ValueText(item.value), item.quality, item.timestamp, item.error};
                auto [last, fresh] = seen->last.try_emplace(item.clientHandle, now);
                if (!fresh && last->second == now) continue;
                last->second = now;
                // Client handles are the items' places plus one.
                const std::string id = item.clientHandle >= 1 && item.clientHandle <= ids.size()
                                           ? ids[item.clientHandle - 1]
                                           : "(unknown handle " + std::to_string(item.clientHandle) + ")";
                if (FAILED(item.error)) {
                    *itemFailed = true;
                    PrintError(id + ": " + ResultText(item.error));
                } else {
                    PrintLine(FormatRecord(output, ItemRecord{id, &item.value, item.quality, item.timestamp}));
                }
            }
        },
        [&malformed](const std::string& reason) {
            malformed = true;
            PrintError("a malformed data-change stream was dropped: " + reason);
        },
        &why);
    if (FAILED(hr)) {
        PrintError(why);
        if (IsConnectionLost(hr)) {
            subscription.Abandon();
            group.Abandon();
            server.Detach();
        }
        return kExitFailed;
    }

    CatchStop(true);
    const ULONGLONG deadline =
        args.forSeconds > 0 ? GetTickCount64() + static_cast<ULONGLONG>(args.forSeconds * 1000.0) : ~0ULL;
    bool died = false;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kAliveCheckMs));
        if (WaitForSingleObject(StopEvent(), wait) == WAIT_OBJECT_0) break;
        OPCSERVERSTATUS* status = nullptr;
        hr = server->GetStatus(&status);
        if (status != nullptr) CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        if (IsConnectionLost(hr)) {
            PrintError("server died: " + ResultText(hr));
            died = true;
            break;
        }
    }
    CatchStop(false);
    if (died) {
        // Nothing to undo on a server that is gone; its proxies are let go unused.
        subscription.Abandon();
        group.Abandon();
        server.Detach();
        return kExitFailed;
    }
    subscription.Stop();
    return allAdded && !malformed && !*itemFailed ? kExitOk : kExitFailed;
}
