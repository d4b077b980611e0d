// tovi-opc --ua against the real program's OPC UA endpoint, on a port the
// system hands out: browse, read, write and watch in the DA commands'
// shapes, the UA status codes, security, and the usage errors. The tags come
// from a CSV made here with values chosen at run time, through the
// program's own import.
#include <winsock2.h>
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "ServerProcess.h"
#include "Text.h"
#include "ToolProcess.h"
#include "TvfBuilder.h"

namespace {
const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tovi Explorer\\Settings";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A loopback port nobody listens on just now.
unsigned FreePort() {
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

struct Fixture {
    std::wstring folder, url, logFile;
    std::string flow, name;  // chosen values, as the tool prints them
    std::unique_ptr<ServerProcess> server;
};
Fixture* fixture = nullptr;

std::wstring Ua(const std::wstring& command, const std::wstring& rest) {
    return command + L" --ua " + fixture->url + L" " + rest;
}
}  // namespace

class UaToolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        fixture = new Fixture;
        KillRunningServers();
        std::mt19937 random(static_cast<unsigned>(GetTickCount()));
        fixture->flow = std::to_string(random() % 10000) + ".25";
        fixture->name = "Batch " + std::to_string(random() % 1000);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        fixture->folder = std::wstring(temp) + L"ToviOpcUa" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(fixture->folder.c_str(), nullptr);
        // The last columns are the alarms': a limit alarm that needs confirming and one that does not.
        const std::string csv =
            std::string(
                "ItemID,Historize,Type,Access,Description,Value,Quality,ValueLimits,ValueLow,ValueHigh,Volatile,"
                "Alarm,AlarmHigh,AlarmConfirm,AlarmMessage\n"
                "Plant.Flow,0,Double,Read/Write,,") +
            fixture->flow + ",192,0,0,0,0,,,,\nPlant.Level,1,Float,Read/Write,,40,192,1,0,100,0,,,,\n" +
            "Plant.Count,0,Integer,Read Only,,7,192,0,0,0,0,,,,\nPlant.Small,0,Short,Read/Write,,-3,192,0,0,0,0,,,,\n" +
            "Plant.Running,0,Bool,Read/Write,,1,192,0,0,0,0,,,,\nPlant.Name,0,String,Read/Write,," + fixture->name +
            ",192,0,0,0,0,,,,\nPlant.Area.Deep.Probe,0,Double,Read/Write,,1,192,0,0,0,0,,,,\n" +
            "Quality.EuExceededLow,0,Double,Read/Write,,1,85,0,0,0,0,,,,\n" +
            "Quality.CommFailureHigh,0,Double,Read/Write,,1,26,0,0,0,0,,,,\n" +
            "Alarm.Tank,0,Double,Read/Write,,50,192,0,0,0,0,ExclusiveLimit,80,1,\"Tank high, check it\"\n" +
            "Alarm.Bearing,0,Double,Read/Write,,20,192,0,0,0,0,ExclusiveLimit,100,0,\n";
        const std::wstring csvFile = fixture->folder + L"\\tags.csv";
        const std::wstring config = fixture->folder + L"\\Ua.tvf";
        ASSERT_TRUE(WriteBytes(csvFile, std::vector<BYTE>(csv.begin(), csv.end())));
        ServerProcess import;
        DWORD code = 99;
        ASSERT_TRUE(import.Start(L"\"" + config + L"\" /Import \"" + csvFile + L"\""));
        ASSERT_TRUE(import.WaitForExit(60000, &code));
        ASSERT_EQ(code, 0u);
        // The event log names each session's security; no control branches in the tree.
        fixture->logFile = fixture->folder + L"\\events.log";
        const DWORD on = 1;
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Event Log Enabled", REG_DWORD, &on, sizeof on);
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Event Log File", REG_SZ, fixture->logFile.c_str(),
                        static_cast<DWORD>((fixture->logFile.size() + 1) * sizeof(wchar_t)));
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Allow Fault Control");
        const unsigned port = FreePort();
        ASSERT_NE(port, 0u);
        fixture->url = L"opc.tcp://localhost:" + std::to_wstring(port) + L"/";
        fixture->server = std::make_unique<ServerProcess>();
        ASSERT_TRUE(fixture->server->Start(L"\"" + config + L"\" /UaPort " + std::to_wstring(port)));
        ASSERT_TRUE(WaitFor(60000, [] { return RunTool(Ua(L"read", L"Plant.Flow")).code == 0; }));
    }
    static void TearDownTestSuite() {
        fixture->server.reset();
        KillRunningServers();
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Event Log Enabled");
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Event Log File");
        for (const wchar_t* file : {L"\\tags.csv", L"\\Ua.tvf", L"\\Ua.tvf.bak", L"\\events.log"}) {
            DeleteFileW((fixture->folder + file).c_str());
        }
        RemoveDirectoryW(fixture->folder.c_str());
        delete fixture;
        fixture = nullptr;
        WSACleanup();
    }
    void SetUp() override {
        if (fixture == nullptr || !fixture->server || !fixture->server->IsRunning()) GTEST_SKIP() << "no server";
    }
};

TEST_F(UaToolTest, BrowsesFoldersAndVariablesInTheDaShapesAndRefusesWhatItCannotUse) {
    ToolRun run = RunTool(Ua(L"browse", L""));
    EXPECT_EQ(run.code, 0u) << run.err;
    const std::multiset<std::string> tree = {
        "Plant/",  "  Flow",    "  Level",     "  Count",  "  Small",         "  Running",         "  Name",
        "  Area/", "    Deep/", "      Probe", "Quality/", "  EuExceededLow", "  CommFailureHigh", "Alarm/",
        "  Tank",  "  Bearing"};
    const std::vector<std::string> lines = Lines(run.out);
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), tree) << run.out;
    // Items before branches at each level, as the DA browse prints them.
    run = RunTool(Ua(L"browse", L"Plant --flat"));
    EXPECT_EQ(run.out,
              "Plant.Flow\nPlant.Level\nPlant.Count\nPlant.Small\nPlant.Running\nPlant.Name\nPlant.Area.Deep.Probe\n");
    for (const wchar_t* path : {L"Plant Area", L"Plant.Area"}) {
        run = RunTool(Ua(L"browse", path));
        EXPECT_EQ(run.code, 0u) << run.err;
        EXPECT_EQ(run.out, "Deep/\n  Probe\n");
    }
    for (const auto& [path, why] : {std::pair{L"Plant Nowhere", "no branch \"Plant.Nowhere\" there: BadNodeIdUnknown"},
                                    std::pair{L"Plant.Flow", "no branch \"Plant.Flow\" there: it is no folder"}}) {
        run = RunTool(Ua(L"browse", path));
        EXPECT_EQ(run.code, 1u);
        EXPECT_TRUE(Has(run.err, why)) << run.err;
    }
    run = RunTool(L"read --ua opc.tcp://localhost:" + std::to_wstring(FreePort()) + L"/ Plant.Flow");
    EXPECT_EQ(run.code, 1u);
    EXPECT_TRUE(Has(run.err, "tovi-opc: error: cannot connect to opc.tcp://localhost:")) << run.err;

    for (const wchar_t* usage :
         {L"read --ua opc.tcp://localhost:1/", L"props --ua opc.tcp://localhost:1/ Plant.Flow",
          L"read --ua http://localhost:1/ X", L"read --ua opc.tcp://localhost:1/ X --device",
          L"read --ua opc.tcp://localhost:1/ X --ua-mode Sign", L"read Zelkor.Tovi.1 X --ua-security Basic256Sha256",
          L"read --ua opc.tcp://localhost:1/ X --ua-security Basic128Rsa15",
          L"read --ua opc.tcp://localhost:1/ ns=x;q=1", L"write --ua opc.tcp://localhost:1/ Plant.Flow"}) {
        run = RunTool(usage);
        EXPECT_EQ(run.code, 2u) << ToUtf8(usage);
        EXPECT_TRUE(Has(run.err, "tovi-opc: error: ")) << run.err;
    }
}

TEST_F(UaToolTest, ReadsValueTypeStatusAndTimeOrTheItemsError) {
    const ToolRun run = RunTool(Ua(L"read",
                                   L"Plant.Flow Plant.Small Plant.Running Plant.Name Quality.EuExceededLow "
                                   L"Quality.CommFailureHigh Plant.Nothing i=2258"));
    EXPECT_EQ(run.code, 1u) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 8u) << run.out;
    const std::string starts[] = {"Plant.Flow = " + fixture->flow + "  Double  Good  ",
                                  "Plant.Small = -3  Int16  Good  ",
                                  "Plant.Running = True  Boolean  Good  ",
                                  "Plant.Name = " + fixture->name + "  String  Good  ",
                                  "Quality.EuExceededLow = 1  Double  UncertainEngineeringUnitsExceeded, low limited  ",
                                  "Quality.CommFailureHigh = 1  Double  BadNoCommunication, high limited  ",
                                  "Plant.Nothing: error: BadNodeIdUnknown (0x80340000)",
                                  "i=2258 = 20"};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(starts[i], 0), 0u) << lines[i];
        // Every value line ends in its UTC time with milliseconds.
        if (i != 6) {
            EXPECT_EQ(lines[i].back(), 'Z') << lines[i];
        }
    }
    EXPECT_TRUE(Has(lines[7], "Z  DateTime  Good  ")) << lines[7];
}

TEST_F(UaToolTest, WritesTextAsEachNodesTypeAndReportsEveryResult) {
    const std::string newFlow = fixture->flow + "5";
    const struct {
        std::wstring argument;
        std::string line;
    } rows[] = {
        {L"Plant.Flow=" + FromUtf8(newFlow), "Plant.Flow = " + newFlow + ": written"},
        {L"Plant.Small=-12", "Plant.Small = -12: written"},
        {L"Plant.Level=250", "Plant.Level = 250: written, GoodClamped (0x00300000)"},
        {L"Plant.Count=5", "Plant.Count = 5: error: BadNotWritable (0x803B0000)"},
        {L"Plant.Small=abc",
         "Plant.Small = abc: error: \"abc\" cannot be converted to Int16: BadTypeMismatch (0x80740000)"},
        {L"Plant.Small=70000",
         "Plant.Small = 70000: error: \"70000\" cannot be converted to Int16: BadOutOfRange (0x803C0000)"},
        {L"Plant.Gone=1", "Plant.Gone = 1: error: BadNodeIdUnknown (0x80340000)"},
        {L"\"Plant.Name=Hand = 2\"", "Plant.Name = Hand = 2: written"},
        {L"Plant.Running=False", "Plant.Running = False: written"},
    };
    std::wstring arguments;
    std::vector<std::string> expected;
    for (const auto& row : rows) {
        arguments += row.argument + L" ";
        expected.push_back(row.line);
    }
    ToolRun run = RunTool(Ua(L"write", arguments));
    EXPECT_EQ(run.code, 1u) << run.err;
    EXPECT_EQ(Lines(run.out), expected);
    run = RunTool(Ua(L"read", L"Plant.Flow Plant.Small Plant.Level Plant.Count Plant.Name Plant.Running"));
    EXPECT_EQ(run.code, 0u) << run.err;
    for (const std::string& start :
         {"Plant.Flow = " + newFlow + "  Double", std::string("Plant.Small = -12  Int16"),
          std::string("Plant.Level = 100  Float"), std::string("Plant.Count = 7  Int32"),
          std::string("Plant.Name = Hand = 2  String"), std::string("Plant.Running = False  Boolean")}) {
        EXPECT_TRUE(Has(run.out, start + "  Good  ")) << start << "\n" << run.out;
    }
    ASSERT_EQ(RunTool(Ua(L"write", L"Plant.Flow=" + FromUtf8(fixture->flow))).code, 0u);
}

TEST_F(UaToolTest, EverySecurityPolicyAndModeOpensItsOwnKindOfSession) {
    const std::string expected = RunTool(Ua(L"read", L"Plant.Flow Plant.Name")).out;
    ASSERT_TRUE(Has(expected, "Plant.Flow = " + fixture->flow)) << expected;
    for (const auto& [policy, mode] :
         {std::pair{"Basic256Sha256", "Sign"}, std::pair{"Aes128_Sha256_RsaOaep", "SignAndEncrypt"},
          std::pair{"Aes256_Sha256_RsaPss", "Sign"}}) {
        const ToolRun run = RunTool(
            Ua(L"read", L"Plant.Flow Plant.Name --ua-security " + FromUtf8(policy) + L" --ua-mode " + FromUtf8(mode)));
        EXPECT_EQ(run.code, 0u) << policy << " " << run.err;
        // Values and statuses as over None; the times are read anew.
        EXPECT_EQ(Lines(run.out).size(), 2u);
        for (size_t i = 0; i < 2 && i < Lines(run.out).size(); ++i) {
            EXPECT_EQ(Lines(run.out)[i].substr(0, Lines(run.out)[i].size() - 24),
                      Lines(expected)[i].substr(0, Lines(expected)[i].size() - 24));
        }
        const std::vector<BYTE> log = ReadBytes(fixture->logFile);
        EXPECT_TRUE(Has(std::string(log.begin(), log.end()),
                        std::string("OPC UA session opened: \"tovi-opc\" from 127.0.0.1 ") + policy + "/" + mode +
                            " user Anonymous (Read/Write)"))
            << policy << "/" << mode;
    }
}

TEST_F(UaToolTest, AlarmCommandsPrintEventsAndActOnConditionsWithTheStandardResults) {
    ToolProcess events;
    ASSERT_TRUE(events.Start(Ua(L"alarms", L"Alarm --format csv --rate 100")));
    ASSERT_TRUE(
        events.WaitForOutput("time,source,state,severity,acked,confirmed,message,comment,eventId,condition\n", 30000))
        << events.Errors();
    ASSERT_EQ(RunTool(Ua(L"write", L"Alarm.Tank=85")).code, 0u);
    EXPECT_TRUE(events.WaitForOutput(",Alarm.Tank,Active High,500,Unacked,Confirmed,\"Tank high, check it\",,", 30000))
        << events.Output() << events.Errors();

    // Each method once as a client acts, then again where the standard refuses it.
    const struct {
        std::wstring arguments;
        DWORD code;
        std::string line;
    } steps[] = {
        {L"confirm Alarm.Tank", 1, "Alarm.Tank: error: BadConditionBranchAlreadyConfirmed (0x"},
        {L"ack Alarm.Tank \"seen it\"", 0, "Alarm.Tank: acknowledged"},
        {L"ack Alarm.Tank", 1, "Alarm.Tank: error: BadConditionBranchAlreadyAcked (0x"},
        {L"comment Alarm.Tank \"valve checked\" --event 0011", 1, "Alarm.Tank: error: BadEventIdUnknown (0x"},
        {L"comment Alarm.Tank \"valve checked\"", 0, "Alarm.Tank: commented"},
        {L"confirm Alarm.Tank", 0, "Alarm.Tank: confirmed"},
        {L"disable Alarm.Tank", 0, "Alarm.Tank: disabled"},
        {L"disable Alarm.Tank", 1, "Alarm.Tank: error: BadConditionAlreadyDisabled (0x"},
        {L"ack Alarm.Tank", 1, "Alarm.Tank: error: BadConditionDisabled (0x"},
        {L"enable Alarm.Tank", 0, "Alarm.Tank: enabled"},
        {L"ack Plant.Flow", 1, "Plant.Flow: its latest EventId cannot be read: BadNodeIdUnknown (0x"},
        {L"enable i=2253", 1, "i=2253: error: Bad"},
    };
    for (const auto& step : steps) {
        const ToolRun run = RunTool(Ua(step.arguments.substr(0, step.arguments.find(L' ')),
                                       step.arguments.substr(step.arguments.find(L' ') + 1)));
        EXPECT_EQ(run.code, step.code) << ToUtf8(step.arguments) << "\n" << run.err;
        EXPECT_TRUE(Has(run.out + run.err, step.line)) << ToUtf8(step.arguments) << "\n" << run.out << run.err;
    }
    // The watcher saw the acknowledgement with its comment, and who made it is in the event log.
    EXPECT_TRUE(
        events.WaitForOutput(",Alarm.Tank,Active High,500,Acked,Unconfirmed,\"Tank high, check it\",seen it,", 30000))
        << events.Output();
    EXPECT_TRUE(events.WaitForOutput(",Alarm.Tank,Disabled,", 30000)) << events.Output();

    // Only what is retained comes back from a refresh: the tank is acknowledged and confirmed once back to normal.
    ASSERT_EQ(RunTool(Ua(L"write", L"Alarm.Tank=50 Alarm.Bearing=150")).code, 0u);
    ASSERT_EQ(RunTool(Ua(L"ack", L"Alarm.Tank")).code, 0u);
    ASSERT_EQ(RunTool(Ua(L"confirm", L"Alarm.Tank")).code, 0u);
    const ToolRun refreshed = RunTool(Ua(L"refresh", L""));
    EXPECT_EQ(refreshed.code, 0u) << refreshed.err;
    const std::vector<std::string> retained = Lines(refreshed.out);
    ASSERT_EQ(retained.size(), 1u) << refreshed.out;
    EXPECT_TRUE(Has(retained[0], "Z  Alarm.Bearing  Active High  500  Unacked  Alarm.Bearing High  EventId="))
        << retained[0];
    // The EventId a line prints is the one the methods take.
    const std::wstring eventId = FromUtf8(retained[0].substr(retained[0].find("EventId=") + 8));
    const ToolRun acked = RunTool(Ua(L"ack", L"Alarm.Bearing --event " + eventId));
    EXPECT_EQ(acked.code, 0u) << acked.out << acked.err;
    EXPECT_TRUE(Has(RunTool(Ua(L"refresh", L"Alarm")).out, "Z  Alarm.Bearing  Active High  500  Acked  Alarm.Bearing"));
    ASSERT_EQ(RunTool(Ua(L"write", L"Alarm.Bearing=20")).code, 0u);
    EXPECT_EQ(RunTool(Ua(L"refresh", L"")).out, "");
    const std::vector<BYTE> log = ReadBytes(fixture->logFile);
    EXPECT_TRUE(Has(std::string(log.begin(), log.end()), "Alarm.Tank")) << "the event log names no alarm command";

    for (const wchar_t* usage :
         {L"ack Zelkor.Tovi.1 Alarm.Tank", L"alarms", L"ack --ua opc.tcp://localhost:1/",
          L"alarms --ua opc.tcp://localhost:1/ A B", L"comment --ua opc.tcp://localhost:1/ Alarm.Tank",
          L"enable --ua opc.tcp://localhost:1/ Alarm.Tank --event 00",
          L"ack --ua opc.tcp://localhost:1/ Alarm.Tank --event 0g", L"ack --ua opc.tcp://localhost:1/ A B C"}) {
        const ToolRun run = RunTool(usage);
        EXPECT_EQ(run.code, 2u) << ToUtf8(usage);
        EXPECT_TRUE(Has(run.err, "tovi-opc: error: ")) << run.err;
    }
}

TEST_F(UaToolTest, HistoryPrintsRecordedAggregatedAndAtTimeValuesAndEachItemsError) {
    // Plant.Level recorded its first value when the server began; the write test may have clamped one since.
    ToolRun run = RunTool(Ua(L"write", L"Plant.Level=60"));
    ASSERT_EQ(run.code, 0u) << run.err;
    run = RunTool(Ua(L"history", L"Plant.Level --from -1h --to +1m"));
    EXPECT_EQ(run.code, 0u) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines.front().rfind("Plant.Level = 40  Float  Good  ", 0), 0u) << run.out;
    EXPECT_EQ(lines.back().rfind("Plant.Level = 60  Float  Good  ", 0), 0u) << run.out;

    const struct {
        const wchar_t* rest;
        const char* start;  // of the one line
    } shown[] = {
        {L"Plant.Level --from -1h --to +1m --aggregate minimum", "Plant.Level = 40  Float  "},
        {L"Plant.Level --from -1h --to +1m --aggregate Count --interval 0", "Plant.Level = "},
        {L"Plant.Level --at now", "Plant.Level = 60  Float  Uncertain"},
    };
    for (const auto& c : shown) {
        run = RunTool(Ua(L"history", c.rest));
        EXPECT_EQ(run.code, 0u) << ToUtf8(c.rest) << run.err;
        lines = Lines(run.out);
        ASSERT_EQ(lines.size(), 1u) << ToUtf8(c.rest) << run.out;
        EXPECT_EQ(lines[0].rfind(c.start, 0), 0u) << lines[0];
    }
    run = RunTool(Ua(L"history", L"Plant.Small Plant.Level --from -1h --to now"));
    EXPECT_EQ(run.code, 1u);
    EXPECT_TRUE(Has(run.out, "Plant.Small: error: BadHistoryOperationUnsupported (0x80720000)")) << run.out;
    EXPECT_TRUE(Has(run.out, "Plant.Level = 40")) << run.out;
    run = RunTool(Ua(L"history", L"Plant.Level --from -1h --to now --aggregate Mean"));
    EXPECT_EQ(run.code, 1u);
    EXPECT_TRUE(Has(run.err, "no aggregate Mean") && Has(run.err, "TimeAverage")) << run.err;
    for (const wchar_t* usage : {L"Plant.Level", L"Plant.Level --from -1h", L"Plant.Level --from yesterday --to now",
                                 L"Plant.Level --at now --aggregate Average", L"--from -1h --to now"}) {
        run = RunTool(Ua(L"history", usage));
        EXPECT_EQ(run.code, 2u) << ToUtf8(usage);
        EXPECT_TRUE(Has(run.err, "tovi-opc: error: ")) << run.err;
    }
}

// Last: it ends the server.
TEST_F(UaToolTest, WatchPrintsEachChangeInEachFormatAndEndsWhenTheServerGoes) {
    const std::wstring items = L"Plant.Flow Plant.Name";
    {
        ToolProcess csv;
        ASSERT_TRUE(csv.Start(Ua(L"watch", items + L" --rate 100 --format csv --for 60")));
        EXPECT_TRUE(csv.WaitForOutput("item,value,type,quality,quality code,timestamp\n", 30000)) << csv.Errors();
        EXPECT_TRUE(csv.WaitForOutput("Plant.Flow," + fixture->flow + ",Double,Good,0,", 30000)) << csv.Output();
        EXPECT_TRUE(csv.WaitForOutput("Plant.Name,", 30000)) << csv.Output();
        // A change made by another client arrives as its own line.
        ASSERT_EQ(RunTool(Ua(L"write", L"\"Plant.Name=a, \\\"b\\\"\"")).code, 0u);
        EXPECT_TRUE(csv.WaitForOutput("Plant.Name,\"a, \"\"b\"\"\",String,Good,0,", 30000)) << csv.Output();
    }
    const ULONGLONG start = GetTickCount64();
    const ToolRun json = RunTool(Ua(L"watch", items + L" --format json --rate 100 --for 2"), 60000);
    EXPECT_EQ(json.code, 0u) << json.err;
    EXPECT_GE(GetTickCount64() - start, 2000u);
    EXPECT_TRUE(Has(json.out, "{\"item\":\"Plant.Flow\",\"value\":" + fixture->flow +
                                  ",\"type\":\"Double\",\"quality\":\"Good\",\"qualityCode\":0,\"timestamp\":\""))
        << json.out;
    const ToolRun partly = RunTool(Ua(L"watch", L"Plant.Flow Plant.None --rate 100 --for 1"));
    EXPECT_EQ(partly.code, 1u);
    EXPECT_TRUE(Has(partly.err, "tovi-opc: error: Plant.None: BadNodeIdUnknown (0x80340000)")) << partly.err;
    EXPECT_TRUE(Has(partly.out, "Plant.Flow = " + fixture->flow + "  Double  Good  ")) << partly.out;

    ToolProcess text;
    ASSERT_TRUE(text.Start(Ua(L"watch", items)));
    ASSERT_TRUE(text.WaitForOutput("Plant.Flow = " + fixture->flow + "  Double  Good  ", 30000)) << text.Output();
    fixture->server->Kill();
    DWORD code = 0;
    ASSERT_TRUE(text.Wait(30000, &code)) << "the watch did not notice the server's end";
    EXPECT_EQ(code, 1u);
    EXPECT_TRUE(Has(text.Errors(), "tovi-opc: error: connection lost: ")) << text.Errors();
}
