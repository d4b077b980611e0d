// The real program started with /Replay: a 2.0 client subscribed at a short
// update rate sees the recorded values at their recorded spacing.
#include <gtest/gtest.h>

#include <ocidl.h>

#include <mutex>

#include "FileTime.h"
#include "OpcClient.h"
#include "OpcConstants.h"
#include "RecordingCallback.h"
#include "ProcessSuite.h"
#include "RegistryProbe.h"
#include "ServerProcess.h"
#include "TvfBuilder.h"

namespace {
constexpr DWORD kStartMs = 30000;
constexpr DWORD kUpdateMs = 100;
constexpr int kSpacingMs = 400;
constexpr int kValues = 5;
constexpr double kConfiguredLevel = 0.5;

class ReplayProcessTest : public ProcessSuite {
protected:
    void SetUp() override {
        ProcessSuite::SetUp();
        ASSERT_NO_FATAL_FAILURE(
            Prepare(ConfigurationBytes({FileGroup{"Tank", {}, {{"Level", VT_R8, 1, kConfiguredLevel, {}}}}}), false));
    }
    std::wstring replayFile;
};
}  // namespace

TEST_F(ReplayProcessTest, SubscribedClientSeesTheRecordedValuesAtTheirSpacing) {
    // 1 to 5, 400 ms apart, looping: whenever the client subscribes, it meets runs of them.
    std::string rows = "Timestamp,ItemID,Value,Quality\r\n";
    for (int i = 0; i < kValues; ++i) {
        char row[80];
        snprintf(row, sizeof row, "2026-12-07T10:15:%02d.%03d0000Z,Tank.Level,%d,192\r\n", i * kSpacingMs / 1000,
                 i * kSpacingMs % 1000, i + 1);
        rows += row;
    }
    replayFile = folder + L"\\recorded.csv";
    ASSERT_TRUE(WriteBytes(replayFile, std::vector<BYTE>(rows.begin(), rows.end())));
    ServerProcess process;
    ASSERT_TRUE(process.Start(L"\"" + configFile + L"\" /Replay \"" + replayFile + L"\" /Loop"));
    ASSERT_NE(nullptr, process.WaitForMainWindow(kStartMs));

    RecordingCallback callback;
    std::mutex mutex;
    std::vector<ULONGLONG> arrivals;  // one per call, in the order of the calls
    callback.OnCall([&] {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.push_back(GetTickCount64());
    });
    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, ConnectServer(server));
    OPCHANDLE group = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, server->AddGroup(L"Replay", TRUE, kUpdateMs, 9, nullptr, nullptr, 0, &group, &revised,
                                     IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())));
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, items.As(&container));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, &point));
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    OPCITEMDEF def{const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L"Tank.Level"), TRUE, 1, 0, nullptr, VT_EMPTY, 0};
    ASSERT_EQ(S_OK, items->AddItems(1, &def, &results, &errors));
    CoTaskMemFree(errors);
    CoTaskMemFree(results);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&callback, &cookie));
    ASSERT_TRUE(callback.WaitFor(3 * kValues, 3 * kValues * kSpacingMs + 10000));
    point->Unadvise(cookie);

    const std::vector<CallbackCall> calls = callback.Calls();
    std::lock_guard<std::mutex> lock(mutex);
    int steps = 0;
    for (size_t i = 1; i < calls.size(); ++i) {
        ASSERT_EQ(1u, calls[i].items.size());
        const CallbackItem& now = calls[i].items[0];
        const CallbackItem& before = calls[i - 1].items[0];
        EXPECT_EQ(OPC_QUALITY_GOOD, now.quality) << now.number;
        // Each value once and in order, the first again one spacing after the last. A client
        // that subscribes before the replay's first row (a slow start) meets the configured
        // value first, and then that row.
        const bool restarts = before.number == kValues || (i == 1 && before.number == kConfiguredLevel);
        EXPECT_EQ(restarts ? 1 : before.number + 1, now.number);
        // The first call reports the value at subscription time, not a change.
        if (i == 1) continue;
        ++steps;
        const auto seen = static_cast<long long>(arrivals[i] - arrivals[i - 1]);
        EXPECT_NEAR(kSpacingMs, seen, kUpdateMs) << "from " << before.number << " to " << now.number;
        const auto stamped = static_cast<long long>(FileTimeToU64(now.timeStamp) - FileTimeToU64(before.timeStamp));
        EXPECT_NEAR(kSpacingMs, stamped / 10000, 30) << "from " << before.number << " to " << now.number;
    }
    EXPECT_GE(steps, 2 * kValues);
}
