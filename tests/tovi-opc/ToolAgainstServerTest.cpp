// tovi-opc against the real server in its own process, as an operator runs
// it: every command, its errors in words and its exit codes. The server
// serves a configuration made here with values chosen at run time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "ServerProcess.h"
#include "Text.h"
#include "ToolProcess.h"
#include "TvfBuilder.h"

namespace {
const wchar_t kProgId[] = L"Zelkor.Tovi.1";
const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tovi Explorer\\Settings";
const wchar_t kQualityWrites[] = L"Clients may write qualities and timestamps";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The line of an item in `read` output ("" when none).
std::string LineOf(const std::string& output, const std::string& id) {
    for (const std::string& line : Lines(output)) {
        if (line.rfind(id + " = ", 0) == 0 || line.rfind(id + ": ", 0) == 0) return line;
    }
    return "";
}

std::string Quarter(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

struct Fixture {
    std::wstring folder, configFile;
    std::vector<FileGroup> devices;
    double pressure = 0;
    int count = 0;
    std::string mode;
    std::unique_ptr<ServerProcess> server;
};
Fixture* fixture = nullptr;
}  // namespace

class ToolAgainstServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fixture = new Fixture;
        KillRunningServers();
        std::mt19937 random(static_cast<unsigned>(GetTickCount()));
        fixture->pressure = static_cast<double>(random() % 40000) / 4.0 + 0.25;
        fixture->count = static_cast<int>(random() % 100000);
        fixture->mode = "Mode " + std::to_string(random() % 1000);
        FileGroup plant{"Plant", {}, {}};
        plant.groups.push_back({"Boiler",
                                {},
                                {{"Pressure", VT_R8, 1, fixture->pressure, {}},
                                 {"Mode", VT_BSTR, 1, 0, FromUtf8(fixture->mode)},
                                 {"Count", VT_I4, 0, static_cast<double>(fixture->count), {}},
                                 {"Speed", VT_I2, 1, 7, {}},
                                 {"Running", VT_BOOL, 0, 1, {}}}});
        plant.groups.push_back({"Feed", {{"Pump", {}, {{"Level", VT_R4, 1, 2.5, {}}}}}, {}});
        fixture->devices = {plant, FileGroup{"Line", {{"Conveyor", {}, {{"Jam", VT_BOOL, 1, 0, {}}}}}, {}}};

        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        fixture->folder = std::wstring(temp) + L"ToviOpcTool" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(fixture->folder.c_str(), nullptr);
        fixture->configFile = fixture->folder + L"\\Tool.tvf";
        ASSERT_TRUE(WriteBytes(fixture->configFile, ConfigurationBytes(fixture->devices)));

        ServerProcess registration;
        DWORD code = 99;
        ASSERT_TRUE(registration.Start(L"/RegServer"));
        ASSERT_TRUE(registration.WaitForExit(60000, &code));
        ASSERT_EQ(code, 0u);
        // Whatever ran before, clients may not control faults or write qualities
        // here, and DA 3.0 is offered.
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Allow Fault Control");
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kQualityWrites);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Offer OPC DA 3.0");
        fixture->server = std::make_unique<ServerProcess>();
        ASSERT_TRUE(fixture->server->Start(L"\"" + fixture->configFile + L"\""));
        ASSERT_NE(fixture->server->WaitForMainWindow(60000), nullptr);
    }
    static void TearDownTestSuite() {
        fixture->server.reset();
        KillRunningServers();
        DeleteFileW(fixture->configFile.c_str());
        DeleteFileW((fixture->configFile + L".bak").c_str());
        RemoveDirectoryW(fixture->folder.c_str());
        delete fixture;
        fixture = nullptr;
    }
    void SetUp() override {
        if (fixture == nullptr || !fixture->server || !fixture->server->IsRunning()) GTEST_SKIP() << "no server";
    }
    // The server again, with `switches` before its configuration file.
    // `whileStopped` runs once the server is gone: it saves its settings as
    // it ends, over any written while it ran.
    static bool Restart(const std::wstring& switches, const std::function<void()>& whileStopped = {}) {
        fixture->server.reset();
        KillRunningServers();
        if (whileStopped) whileStopped();
        fixture->server = std::make_unique<ServerProcess>();
        return fixture->server->Start(switches + L" \"" + fixture->configFile + L"\"") &&
               fixture->server->WaitForMainWindow(60000) != nullptr;
    }
};

TEST_F(ToolAgainstServerTest, ListsServersBrowsesAndExplainsItself) {
    ToolRun run = RunTool(L"servers");
    EXPECT_EQ(run.code, 0u) << run.err;
    EXPECT_TRUE(Has(
        run.out, "Zelkor.Tovi.1  {F2F1DF4B-8AF2-411F-BD23-637097876C20}  Zelkor Company  (DA 1.0, DA 2.0, DA 3.0)\n"))
        << run.out;

    // The tree: every group a branch line ending in "/", every tag a leaf line,
    // each two blanks deeper than its parent; --flat: exactly the item IDs.
    std::set<std::string> tree, flat;
    std::function<void(const FileGroup&, int, const std::string&)> expect = [&](const FileGroup& g, int depth,
                                                                                const std::string& id) {
        tree.insert(std::string(depth * 2, ' ') + g.name + "/");
        for (const FileTag& t : g.tags) {
            tree.insert(std::string((depth + 1) * 2, ' ') + t.name);
            flat.insert(id + g.name + "." + t.name);
        }
        for (const FileGroup& child : g.groups) expect(child, depth + 1, id + g.name + ".");
    };
    for (const FileGroup& device : fixture->devices) expect(device, 0, "");
    run = RunTool(std::wstring(L"browse ") + kProgId);
    EXPECT_EQ(run.code, 0u) << run.err;
    const std::vector<std::string> treeLines = Lines(run.out);
    EXPECT_EQ(std::set<std::string>(treeLines.begin(), treeLines.end()), tree) << run.out;
    EXPECT_EQ(treeLines.size(), tree.size());
    run = RunTool(std::wstring(L"browse --flat ") + kProgId);
    EXPECT_EQ(run.code, 0u) << run.err;
    const std::vector<std::string> flatLines = Lines(run.out);
    EXPECT_EQ(std::set<std::string>(flatLines.begin(), flatLines.end()), flat) << run.out;
    run = RunTool(std::wstring(L"browse ") + kProgId + L" Plant Feed");
    EXPECT_EQ(run.code, 0u) << run.err;
    EXPECT_EQ(run.out, "Pump/\n  Level\n");
    run = RunTool(std::wstring(L"browse ") + kProgId + L" Plant Nowhere");
    EXPECT_EQ(run.code, 1u);
    EXPECT_TRUE(Has(run.err, "no branch \"Nowhere\" there")) << run.err;

    // Help for the tool and every command; unusable command lines give 2.
    run = RunTool(L"--help");
    EXPECT_EQ(run.code, 0u);
    for (const char* command : {"servers", "browse", "read", "write", "watch", "props"}) {
        EXPECT_TRUE(Has(run.out, std::string("tovi-opc ") + command)) << command;
        const ToolRun help = RunTool(FromUtf8(command) + L" --help");
        EXPECT_EQ(help.code, 0u) << command;
        EXPECT_EQ(help.out.rfind(std::string("tovi-opc ") + command, 0), 0u) << help.out;
    }
    for (const wchar_t* usage : {L"", L"fly", L"read", L"read Zelkor.Tovi.1", L"write Zelkor.Tovi.1 Plant.Boiler.Mode",
                                 L"watch Zelkor.Tovi.1 X --rate 0", L"read Zelkor.Tovi.1 X --colour",
                                 L"props Zelkor.Tovi.1", L"watch Zelkor.Tovi.1 X --v1 --v2"}) {
        run = RunTool(usage);
        EXPECT_EQ(run.code, 2u) << ToUtf8(usage);
        if (*usage != L'\0') {
            EXPECT_TRUE(Has(run.err, "tovi-opc: error: ")) << run.err;
        }
    }
    run = RunTool(L"read No.Such.Server.1 A.B");
    EXPECT_EQ(run.code, 1u);
    EXPECT_TRUE(Has(run.err, "server not registered: \"No.Such.Server.1\"")) << run.err;
}

TEST_F(ToolAgainstServerTest, ReadsAndWritesInTheItemsTypesAndReportsEachItemsResult) {
    const std::wstring prefix = std::wstring(L"read ") + kProgId;
    const std::wstring all =
        L" Plant.Boiler.Pressure Plant.Boiler.Mode Plant.Boiler.Count Plant.Boiler.Running "
        L"Plant.Feed.Pump.Level Line.Conveyor.Jam";
    // The 2.0 read (from the device, in an inactive group) gives what the cache read gives.
    ToolRun async = RunTool(prefix + L" --async2" + all);
    EXPECT_EQ(async.code, 0u) << async.err;
    ToolRun run = RunTool(prefix + all);
    EXPECT_EQ(run.code, 0u) << run.err;
    EXPECT_EQ(async.out, run.out);
    EXPECT_EQ(Lines(run.out).size(), 6u) << run.out;

    // Properties in words; an unknown item fails the command, not the others.
    ToolRun props = RunTool(std::wstring(L"props ") + kProgId + L" Plant.Boiler.Count Plant.Nothing");
    EXPECT_EQ(props.code, 1u) << props.err;
    for (const std::string& line :
         {std::string("Plant.Boiler.Count"), std::string("     1  Item Canonical DataType = 3 (Long)  Short"),
          "     2  Item Value = " + std::to_string(fixture->count) + "  Long",
          std::string("     3  Item Quality = 192 (Good)  Short"),
          std::string("     5  Item Access Rights = 1 (readable)  Long"),
          std::string("Plant.Nothing: error: unknown item ID (OPC_E_UNKNOWNITEMID 0xC0040007)")}) {
        EXPECT_TRUE(Has(props.out, line + "\n")) << line << "\n" << props.out;
    }
    for (const std::string& line : Lines(props.out)) {
        EXPECT_TRUE(!Has(line, "error") || line.rfind("Plant.Nothing: ", 0) == 0) << line;
    }
    props = RunTool(std::wstring(L"props ") + kProgId + L" Plant.Boiler.Pressure");
    EXPECT_EQ(props.code, 0u) << props.out << props.err;
    EXPECT_TRUE(Has(props.out, "     5  Item Access Rights = 3 (readable, writable)  Long\n")) << props.out;
    const std::string pressure = LineOf(run.out, "Plant.Boiler.Pressure");
    EXPECT_EQ(pressure.rfind("Plant.Boiler.Pressure = " + Quarter(fixture->pressure) + "  Double  Good  ", 0), 0u)
        << run.out;
    EXPECT_EQ(pressure.size(), std::string("Plant.Boiler.Pressure = " + Quarter(fixture->pressure) +
                                           "  Double  Good  2024-01-01T00:00:00.000Z")
                                   .size());
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Mode").rfind("Plant.Boiler.Mode = " + fixture->mode + "  String  Good", 0),
              0u);
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Count")
                  .rfind("Plant.Boiler.Count = " + std::to_string(fixture->count) + "  Long  Good", 0),
              0u);
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Running").rfind("Plant.Boiler.Running = True  Bool  Good", 0), 0u);
    EXPECT_EQ(LineOf(run.out, "Plant.Feed.Pump.Level").rfind("Plant.Feed.Pump.Level = 2.5  Float  Good", 0), 0u);
    EXPECT_EQ(LineOf(run.out, "Line.Conveyor.Jam").rfind("Line.Conveyor.Jam = False  Bool  Good", 0), 0u);

    // One unknown item fails the command, not the others.
    run = RunTool(prefix + L" --device Plant.Boiler.Count Plant.Boiler.Nothing");
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Count").rfind("Plant.Boiler.Count = " + std::to_string(fixture->count), 0),
              0u);
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Nothing"),
              "Plant.Boiler.Nothing: error: unknown item ID (OPC_E_UNKNOWNITEMID 0xC0040007)");

    // Text becomes each item's own type; every item's result is reported.
    const double newPressure = fixture->pressure + 1.5;
    run = RunTool(std::wstring(L"write ") + kProgId + L" Plant.Boiler.Pressure=" + FromUtf8(Quarter(newPressure)) +
                  L" \"Plant.Boiler.Mode=Hand = 2\" Plant.Boiler.Speed=-12 Line.Conveyor.Jam=True");
    EXPECT_EQ(run.code, 0u) << run.out << run.err;
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Pressure"),
              "Plant.Boiler.Pressure = " + Quarter(newPressure) + ": written");
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Mode"), "Plant.Boiler.Mode = Hand = 2: written");
    run = RunTool(prefix + L" Plant.Boiler.Pressure Plant.Boiler.Mode Plant.Boiler.Speed Line.Conveyor.Jam");
    EXPECT_EQ(run.code, 0u);
    EXPECT_TRUE(Has(run.out, "Plant.Boiler.Pressure = " + Quarter(newPressure) + "  Double  Good")) << run.out;
    EXPECT_TRUE(Has(run.out, "Plant.Boiler.Mode = Hand = 2  String  Good")) << run.out;
    EXPECT_TRUE(Has(run.out, "Plant.Boiler.Speed = -12  Short  Good")) << run.out;
    EXPECT_TRUE(Has(run.out, "Line.Conveyor.Jam = True  Bool  Good")) << run.out;

    run = RunTool(std::wstring(L"write ") + kProgId +
                  L" Plant.Boiler.Count=5 Plant.Boiler.Speed=abc Plant.Boiler.Speed=70000 Plant.Gone=1 "
                  L"Plant.Boiler.Pressure=3.25");
    EXPECT_EQ(run.code, 1u);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out << run.err;
    EXPECT_EQ(lines[0],
              "Plant.Boiler.Count = 5: error: bad rights: the item's access rights do not allow this "
              "(OPC_E_BADRIGHTS 0xC0040006)");
    EXPECT_EQ(lines[1],
              "Plant.Boiler.Speed = abc: error: \"abc\" cannot be converted to Short: the text is not a "
              "value of that type (DISP_E_TYPEMISMATCH 0x80020005)");
    EXPECT_TRUE(Has(lines[2], "cannot be converted to Short")) << lines[2];
    EXPECT_EQ(lines[3], "Plant.Gone = 1: error: unknown item ID (OPC_E_UNKNOWNITEMID 0xC0040007)");
    EXPECT_EQ(lines[4], "Plant.Boiler.Pressure = 3.25: written");
    run = RunTool(prefix + L" Plant.Boiler.Pressure Plant.Boiler.Count");
    EXPECT_TRUE(Has(run.out, "Plant.Boiler.Pressure = 3.25  Double")) << run.out;
    EXPECT_TRUE(Has(run.out, "Plant.Boiler.Count = " + std::to_string(fixture->count) + "  Long")) << run.out;
    // A fault is a write to the device's control item, refused while the
    // server's option is off; a word that means nothing is a usage error.
    run = RunTool(std::wstring(L"fault ") + kProgId + L" Plant quality comm-failure");
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(Lines(run.out), std::vector<std::string>{"Plant._Control.Quality = 24: error: unknown item ID "
                                                       "(OPC_E_UNKNOWNITEMID 0xC0040007)"});
    run = RunTool(std::wstring(L"fault ") + kProgId + L" Plant freeze perhaps");
    EXPECT_EQ(run.code, 2u);
    EXPECT_TRUE(Has(run.err, "\"perhaps\" is neither on nor off")) << run.err;
    run = RunTool(std::wstring(L"replay ") + kProgId + L" values.csv --speed 2");
    EXPECT_EQ(run.code, 1u);
    EXPECT_TRUE(Has(run.err, "_Control.Replay.File: unknown item ID")) << run.err;
    EXPECT_EQ(RunTool(std::wstring(L"replay ") + kProgId).code, 2u);
}

TEST_F(ToolAgainstServerTest, Da3BrowsesReadsWritesAndKeepsAliveAsTheOlderInterfacesShowTheServer) {
    const std::wstring server = std::wstring(L" ") + kProgId;
    // The 3.0 walk, in any page size, prints what the 2.0 walk prints.
    for (const wchar_t* shape : {L"", L" --flat", L" Plant", L" plant Feed --flat"}) {
        const ToolRun two = RunTool(L"browse" + server + shape);
        ASSERT_EQ(two.code, 0u) << two.err;
        ASSERT_FALSE(two.out.empty());
        for (const wchar_t* page : {L"", L" --page 1", L" --page 2", L" --page 0"}) {
            const ToolRun three = RunTool(L"browse" + server + shape + L" --da3" + page);
            EXPECT_EQ(three.code, 0u) << three.err;
            EXPECT_EQ(Lines(three.out), Lines(two.out)) << ToUtf8(shape) << ToUtf8(page);
        }
    }
    ToolRun run = RunTool(L"browse" + server + L" Plant Nowhere --da3 --page 1");
    EXPECT_EQ(run.code, 1u);
    EXPECT_TRUE(Has(run.err, "no branch \"Nowhere\" there")) << run.err;

    // Reads with a MaxAge, by item ID and in a group, give what the cache read gives.
    const std::wstring items = L" Plant.Boiler.Pressure Plant.Boiler.Mode Plant.Boiler.Count Plant.Feed.Pump.Level";
    const ToolRun cache = RunTool(L"read" + server + items);
    ASSERT_EQ(cache.code, 0u) << cache.err;
    for (const wchar_t* maxAge : {L" --max-age cache", L" --max-age 0", L" --max-age 60000",
                                  L" --max-age cache --group", L" --max-age 0 --group"}) {
        run = RunTool(L"read" + server + items + maxAge);
        EXPECT_EQ(run.code, 0u) << run.err;
        EXPECT_EQ(run.out, cache.out) << ToUtf8(maxAge);
    }
    run = RunTool(L"read" + server + L" Plant.Boiler.Count Plant.Nothing --max-age 0");
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(LineOf(run.out, "Plant.Nothing"),
              "Plant.Nothing: error: unknown item ID (OPC_E_UNKNOWNITEMID 0xC0040007)");
    EXPECT_EQ(LineOf(run.out, "Plant.Boiler.Count"), LineOf(cache.out, "Plant.Boiler.Count"));

    // Values alone are written; a quality or a timestamp is refused whole while
    // the server's option is off, by item ID and in a group alike.
    for (const wchar_t* where : {L"", L" --group"}) {
        SCOPED_TRACE(ToUtf8(where));
        run = RunTool(L"write" + server +
                      L" --vqt Plant.Boiler.Pressure=5.25 \"Plant.Boiler.Mode=\\\"x, \\\"\\\"y\\\"\\\"\\\"\" "
                      L"Plant.Boiler.Pressure=6.5,uncertain Plant.Boiler.Speed=9,,2024-02-29T23:59:58.125Z "
                      L"Plant.Boiler.Count=1 Plant.Gone=1" +
                      where);
        EXPECT_EQ(run.code, 1u);
        const std::vector<std::string> lines = Lines(run.out);
        const std::string refused =
            "error: not supported: the server does not write the quality or the timestamp "
            "(OPC_E_NOTSUPPORTED 0xC0040406)";
        EXPECT_EQ(lines, (std::vector<std::string>{
                             "Plant.Boiler.Pressure = 5.25: written", "Plant.Boiler.Mode = x, \"y\": written",
                             "Plant.Boiler.Pressure = 6.5  Uncertain: " + refused,
                             "Plant.Boiler.Speed = 9  2024-02-29T23:59:58.125Z: " + refused,
                             "Plant.Boiler.Count = 1: error: bad rights: the item's access rights do not allow this "
                             "(OPC_E_BADRIGHTS 0xC0040006)",
                             "Plant.Gone = 1: error: unknown item ID (OPC_E_UNKNOWNITEMID 0xC0040007)"}))
            << run.out << run.err;
        run = RunTool(L"read" + server + L" Plant.Boiler.Pressure Plant.Boiler.Mode Plant.Boiler.Speed");
        EXPECT_TRUE(Has(run.out, "Plant.Boiler.Pressure = 5.25  Double  Good  ")) << run.out;
        EXPECT_TRUE(Has(run.out, "Plant.Boiler.Mode = x, \"y\"  String  Good  ")) << run.out;
        EXPECT_FALSE(Has(run.out, "Plant.Boiler.Speed = 9 ")) << run.out;
        ASSERT_EQ(RunTool(L"write" + server + L" Plant.Boiler.Pressure=0").code, 0u);
    }
    EXPECT_EQ(RunTool(L"write" + server + L" --vqt Plant.Boiler.Pressure=1,fine").code, 2u);

    // Keep-alive: a line for each beat while nothing changes, none without it.
    const ULONGLONG start = GetTickCount64();
    run = RunTool(L"watch" + server + L" Plant.Boiler.Count --rate 100 --keep-alive 500 --format json --for 3");
    EXPECT_EQ(run.code, 0u) << run.err;
    EXPECT_GE(GetTickCount64() - start, 3000u);
    size_t beats = 0;
    for (const std::string& line : Lines(run.out)) {
        if (line.rfind("{\"keepAlive\":true,\"timestamp\":\"20", 0) == 0) ++beats;
    }
    // The first beat half a second after the first value, then one each half second.
    EXPECT_GE(beats, 3u) << run.out;
    EXPECT_LE(beats, 7u) << run.out;
    EXPECT_TRUE(Has(run.out, "{\"item\":\"Plant.Boiler.Count\",\"value\":" + std::to_string(fixture->count)))
        << run.out;
    run = RunTool(L"watch" + server + L" Plant.Boiler.Count --rate 100 --for 1.5");
    EXPECT_EQ(run.code, 0u) << run.err;
    EXPECT_FALSE(Has(run.out, "keep-alive")) << run.out;

    // Offered no more (/Da3 off): each 3.0 road is an error naming E_NOINTERFACE,
    // and the category no longer lists the server.
    ASSERT_TRUE(Restart(L"/Da3 off"));
    run = RunTool(L"servers");
    EXPECT_TRUE(Has(run.out, "Zelkor Company  (DA 1.0, DA 2.0)\n")) << run.out;
    for (const wchar_t* command : {L"browse Zelkor.Tovi.1 --da3", L"read Zelkor.Tovi.1 Plant.Boiler.Count --max-age 0",
                                   L"read Zelkor.Tovi.1 Plant.Boiler.Count --max-age 0 --group",
                                   L"write Zelkor.Tovi.1 --vqt Plant.Boiler.Pressure=1",
                                   L"watch Zelkor.Tovi.1 Plant.Boiler.Count --keep-alive 500 --for 1"}) {
        run = RunTool(command);
        EXPECT_EQ(run.code, 1u) << ToUtf8(command);
        EXPECT_TRUE(Has(run.err, "(E_NOINTERFACE 0x80004002)")) << ToUtf8(command) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_EQ(RunTool(L"browse" + server).code, 0u);

    // With the option on, quality and timestamp are written as given.
    LSTATUS set = ERROR_INVALID_FUNCTION;
    const bool restarted = Restart(L"", [&] {
        set = RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kQualityWrites, REG_DWORD, "\1\0\0\0", 4);
    });
    // Off again for the tests after this one, with no server left to save it on.
    struct OptionOff {
        ~OptionOff() {
            ToolAgainstServerTest::Restart(
                L"", [] { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kQualityWrites); });
        }
    } optionOff;
    ASSERT_EQ(set, ERROR_SUCCESS);
    ASSERT_TRUE(restarted);
    run = RunTool(L"write" + server + L" --vqt Plant.Boiler.Pressure=7.75,0x54,2024-02-29T23:59:58.125Z");
    EXPECT_EQ(run.out,
              "Plant.Boiler.Pressure = 7.75  Uncertain (Engineering Units Exceeded)  2024-02-29T23:59:58.125Z: "
              "written\n")
        << run.err;
    run = RunTool(L"read" + server + L" Plant.Boiler.Pressure --max-age 0");
    EXPECT_EQ(
        run.out,
        "Plant.Boiler.Pressure = 7.75  Double  Uncertain (Engineering Units Exceeded)  2024-02-29T23:59:58.125Z\n")
        << run.err;
}

TEST_F(ToolAgainstServerTest, WatchPrintsEveryChangeInEachFormatAndEndsWhenTheServerDies) {
    const std::wstring items = L" Plant.Boiler.Pressure Plant.Boiler.Mode";
    ASSERT_EQ(RunTool(std::wstring(L"write ") + kProgId + L" Plant.Boiler.Pressure=10.5").code, 0u);
    {
        ToolProcess csv;
        ASSERT_TRUE(csv.Start(std::wstring(L"watch ") + kProgId + items + L" --rate 100 --format csv --for 60"));
        EXPECT_TRUE(csv.WaitForOutput("item,value,type,quality,quality code,timestamp\n", 30000)) << csv.Output();
        EXPECT_TRUE(csv.WaitForOutput("Plant.Boiler.Pressure,10.5,Double,Good,192,", 30000)) << csv.Output();
        EXPECT_TRUE(csv.WaitForOutput("Plant.Boiler.Mode,", 30000)) << csv.Output();
        // A change made by another client arrives as its own line.
        ASSERT_EQ(RunTool(std::wstring(L"write ") + kProgId + L" \"Plant.Boiler.Mode=a, \\\"b\\\"\"").code, 0u);
        EXPECT_TRUE(csv.WaitForOutput("Plant.Boiler.Mode,\"a, \"\"b\"\"\",String,Good,192,", 30000)) << csv.Output();
        // Each change once, however often the server sends the unchanged value again.
        Sleep(500);
        const std::string rows = csv.Output();
        size_t pressureRows = 0;
        for (size_t at = rows.find("Plant.Boiler.Pressure,10.5,"); at != std::string::npos;
             at = rows.find("Plant.Boiler.Pressure,10.5,", at + 1)) {
            ++pressureRows;
        }
        EXPECT_EQ(pressureRows, 1u) << rows;
    }
    const ULONGLONG start = GetTickCount64();
    // The 1.0a stream, as a client of a 1.0a server gets it.
    ToolRun json =
        RunTool(std::wstring(L"watch ") + kProgId + items + L" --v1 --format json --rate 100 --for 2", 60000);
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_EQ(json.code, 0u) << json.err;
    EXPECT_GE(took, 2000u);
    const std::vector<std::string> objects = Lines(json.out);
    ASSERT_GE(objects.size(), 2u) << json.out;
    EXPECT_TRUE(Has(json.out,
                    "{\"item\":\"Plant.Boiler.Pressure\",\"value\":10.5,\"type\":\"Double\",\"quality\":"
                    "\"Good\",\"qualityCode\":192,\"timestamp\":\""))
        << json.out;
    for (const std::string& line : objects) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
    }

    ToolRun partly = RunTool(std::wstring(L"watch ") + kProgId + L" Plant.Boiler.Pressure Plant.None --for 1");
    EXPECT_EQ(partly.code, 1u);
    EXPECT_TRUE(Has(partly.err, "Plant.None: unknown item ID")) << partly.err;
    EXPECT_TRUE(Has(partly.out, "Plant.Boiler.Pressure = 10.5  Double  Good")) << partly.out;

    // The server killed under a watch: the watch ends with the reason and 1.
    ToolProcess text;
    ASSERT_TRUE(text.Start(std::wstring(L"watch ") + kProgId + items + L" --v2 --rate 100"));
    ASSERT_TRUE(text.WaitForOutput("Plant.Boiler.Pressure = 10.5  Double  Good  ", 30000)) << text.Output();
    fixture->server->Kill();
    DWORD code = 0;
    ASSERT_TRUE(text.Wait(30000, &code)) << "the watch did not notice the server's death";
    EXPECT_EQ(code, 1u);
    EXPECT_TRUE(Has(text.Errors(), "tovi-opc: error: server died: ")) << text.Errors();
}
