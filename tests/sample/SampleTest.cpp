// The sample configuration a first run opens: what its writer writes, byte
// for byte, so that neither changes alone; every feature it is there to
// show; and its values moving for clients of the real program at once.
#include <winsock2.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "Configuration.h"
#include "ForcedQuality.h"
#include "OpcConstants.h"
#include "ServerProcess.h"
#include "SampleUnderTest.h"
#include "SimulatedSignal.h"
#include "TempFolder.h"
#include "ToolProcess.h"
#include "ToviDevice.h"
#include "TvfBuilder.h"

namespace {
std::wstring Committed() {
    std::wstring path = L"Z:" TOVI_SAMPLE_FILE;
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
}

// Every item's values in the order a `watch --format csv` printed them, and its quality codes.
struct Watched {
    std::map<std::string, std::vector<std::string>> values;
    std::map<std::string, std::set<int>> qualities;
};
Watched ParseCsv(const std::string& out) {
    Watched w;
    std::istringstream in(out);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
        if (f.size() < 5) continue;
        w.values[f[0]].push_back(f[1]);
        w.qualities[f[0]].insert(std::stoi(f[4]));
    }
    return w;
}

std::string ValueOf(const ToolRun& read) {
    const size_t at = read.out.find(" = ");
    return at == std::string::npos ? std::string() : read.out.substr(at + 3, read.out.find("  ", at) - at - 3);
}

unsigned FreePort() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    unsigned port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(probe);
    return port;
}
}  // namespace

TEST(SampleTest, IsWhatItsWriterWritesLoadsCleanAndShowsEveryFeature) {
    TempFolder scratch;
    DWORD code = 99;
    ASSERT_TRUE(RunWorker(TOVI_SAMPLE_WRITER, (L"\"" + scratch.File(L"Sample.tvf") + L"\"").c_str(), 60000, &code));
    ASSERT_EQ(code, 0u);
    EXPECT_TRUE(ReadBytes(scratch.File(L"Sample.tvf")) == ReadBytes(Committed()))
        << "regenerate resources/sample/Sample.tvf with sample_configuration and commit both";

    Configuration config;
    const Configuration::LoadOutcome outcome = config.Load(Committed(), {});
    ASSERT_TRUE(outcome.loaded);
    EXPECT_FALSE(outcome.truncated);
    EXPECT_TRUE(outcome.renames.empty());
    std::set<DWORD> kinds, periods;
    std::set<std::pair<VARTYPE, DWORD>> typesAndAccess;
    std::set<VARTYPE> simulatedTypes;
    std::set<int> forced;
    bool outOfService = false, delayed = false;
    size_t deepest = 0;
    auto walk = [&](auto& self, OPCS_TagGroup* group, size_t depth) -> void {
        deepest = std::max(deepest, depth);
        for (OPCS_TagGroup* sub : group->SnapshotGroups()) self(self, sub, depth + 1);
        for (OPCS_Tag* tag : group->SnapshotTags()) {
            const std::wstring description = tag->GetDescription();
            EXPECT_TRUE(!description.empty() && description != L"New Tag") << tag->GetItemID().c_str();
            typesAndAccess.insert({tag->GetDataType(), tag->GetAccessMode()});
            if (tag->GetForcedQuality() != kNotForced) forced.insert(tag->GetForcedQuality() & OPC_QUALITY_MASK);
            const TagSimulation signal = tag->GetSimulation();
            if (!signal.enabled) continue;
            kinds.insert(signal.kind);
            periods.insert(signal.period);
            simulatedTypes.insert(tag->GetDataType());
            // A signal between its tag's limits, its engineering range.
            EXPECT_TRUE(tag->GetDataType() == VT_BOOL || tag->AreValueLimitsSet()) << tag->GetItemID().c_str();
        }
    };
    Dll<OPCS_Device*> devices;
    config.CopyDeviceList(devices);
    for (OPCS_Device* device : devices) {
        EXPECT_TRUE(device->PollsOnOpen()) << device->GetName().c_str();
        outOfService |= !device->IsInService();
        delayed |= device->GetResponseDelay() > 0;
        walk(walk, device, 1);
    }
    EXPECT_EQ(kinds, (std::set<DWORD>{kSimulateRamp, kSimulateTriangle, kSimulateSine, kSimulateSquare, kSimulateRandom,
                                      kSimulateCount}));
    EXPECT_GE(simulatedTypes.size(), 5u);
    EXPECT_EQ(*periods.begin(), 10u);    // 1 s
    EXPECT_EQ(*periods.rbegin(), 600u);  // 1 min
    for (VARTYPE type : {VT_BOOL, VT_UI1, VT_I2, VT_I4, VT_R4, VT_R8, VT_BSTR}) {
        EXPECT_TRUE(typesAndAccess.count({type, 0}) && typesAndAccess.count({type, 1})) << type;
    }
    EXPECT_EQ(forced, (std::set<int>{OPC_QUALITY_BAD, OPC_QUALITY_UNCERTAIN}));
    EXPECT_TRUE(outOfService);
    EXPECT_TRUE(delayed);
    EXPECT_GE(deepest, 3u);
    EXPECT_FALSE(config.IsModified());
}

// Started by hand as a newcomer's first run starts it: a UA client sees a
// value move before any DA client asked for anything, then a DA client sees
// every kind of signal move, the forced qualities and the device out of
// service, and waits for the slow device.
TEST(SampleTest, ServedValuesMoveForUaAndDaClientsFromTheStart) {
    KillRunningServers();
    TempFolder scratch;
    const std::wstring file = scratch.File(L"Sample.tvf");
    ASSERT_TRUE(WriteBytes(file, ReadBytes(Committed())));
    ServerProcess process;
    DWORD code = 99;
    ASSERT_TRUE(process.Start(L"/RegServer") && process.WaitForExit(60000, &code) && code == 0);
    const std::wstring port = std::to_wstring(FreePort());
    ASSERT_TRUE(process.Start(L"\"" + file + L"\" /UaPort " + port));
    const std::wstring uaRead = L"read --ua opc.tcp://localhost:" + port + L"/ Demo.Sine";
    ASSERT_TRUE(WaitFor(60000, [&] { return RunTool(uaRead).code == 0; }));
    const std::string first = ValueOf(RunTool(uaRead));
    Sleep(500);
    EXPECT_NE(ValueOf(RunTool(uaRead)), first) << first;

    const ToolRun watch = RunTool(
        L"watch Zelkor.Tovi.1 Demo.Sine Demo.Ramp Demo.Triangle Demo.Square Demo.Random Demo.Count "
        L"Demo.Quality.Bad Demo.Quality.Uncertain DemoOffline.Flow --rate 100 --format csv --for 4",
        60000);
    EXPECT_EQ(watch.code, 0u) << watch.err;
    const Watched w = ParseCsv(watch.out);
    for (const char* id : {"Demo.Sine", "Demo.Ramp", "Demo.Triangle", "Demo.Square", "Demo.Random", "Demo.Count"}) {
        const auto values = w.values.find(id);
        ASSERT_NE(values, w.values.end()) << id << "\n" << watch.out;
        size_t changes = 0;
        for (size_t i = 1; i < values->second.size(); ++i) changes += values->second[i] != values->second[i - 1];
        EXPECT_GE(changes, 2u) << id;
    }
    EXPECT_EQ(w.qualities.at("Demo.Sine"), std::set<int>{OPC_QUALITY_GOOD});
    EXPECT_EQ(w.qualities.at("Demo.Quality.Bad"), std::set<int>{OPC_QUALITY_COMM_FAILURE});
    EXPECT_EQ(w.qualities.at("Demo.Quality.Uncertain"), std::set<int>{OPC_QUALITY_SENSOR_CAL});
    EXPECT_EQ(w.qualities.at("DemoOffline.Flow"), std::set<int>{OPC_QUALITY_OUT_OF_SERVICE});

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(RunTool(L"read Zelkor.Tovi.1 DemoSlow.Level --device").code, 0u);
    EXPECT_GE(GetTickCount64() - start, 2000u) << "the slow device answers in 2 s";
    process.Kill();
    KillRunningServers();
}
