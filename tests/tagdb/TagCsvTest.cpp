#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <cstdlib>
#include <new>

#include "ConfigurationFile.h"
#include "CsvText.h"
#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "TagCsv.h"
#include "TagDbFixtures.h"
#include "ToviDevice.h"
#include "TreeLimits.h"

// Fails the allocation the arming thread makes after the given count: memory
// running out at any chosen point. Other threads, and every test that does
// not arm it, allocate as usual.
namespace {
thread_local long t_allocationsBeforeFailure = -1;
}  // namespace

void* operator new(std::size_t size) {
    if (t_allocationsBeforeFailure == 0) {
        t_allocationsBeforeFailure = -1;
        throw std::bad_alloc();
    }
    if (t_allocationsBeforeFailure > 0) --t_allocationsBeforeFailure;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
// Kept out of line: inlined, GCC takes the free of what operator new gave
// for a mismatched pair.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {
struct CsvConfiguration {
    Dll<OPCS_Device*> devices;
    ~CsvConfiguration() {
        for (OPCS_Device* d : devices) delete d;
    }
    ToviDevice* AddDevice(const std::wstring& name) {
        auto* d = new ToviDevice;
        d->Rename(name);
        devices.Append(d);
        return d;
    }
};

std::string SavedBytes(const Dll<OPCS_Device*>& devices) {
    wchar_t dir[MAX_PATH + 1];
    // The cases run side by side in processes of their own, sharing the folder.
    const std::wstring path = std::wstring(dir, GetTempPathW(MAX_PATH + 1, dir)) + L"TagCsvTest-" +
                              std::to_wstring(GetCurrentProcessId()) + L".tvf";
    EXPECT_EQ(ConfigFileStatus::Ok, SaveConfigurationFile(path, devices).status);
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    DeleteFileW(path.c_str());
    return bytes;
}

ToviTag* Tag(OPCS_TagGroup* parent, const std::wstring& name, VARTYPE type, const Variant& value) {
    ToviTag* tag = NewTag(name);
    tag->SetDataType(type);
    FILETIME stamp{0x89ABCDEF, 0x01DB1234};
    tag->SetValue(value, 0xC0, stamp);
    parent->AddTag(tag);
    return tag;
}

std::string Utf8(const std::wstring& text) {
    std::string out;
    AppendCsvRow(out, {text});
    return out.substr(0, out.size() - 2);
}
}  // namespace

TEST(TagCsvTest, ColumnsInAnyOrderUpdateWhatTheyNameAndCreateThePath) {
    CsvConfiguration config;
    ToviDevice* plant = config.AddDevice(L"Plant");
    ConfigurationProbe probe(*plant);
    ToviTag* level = Tag(plant, L"Level", VT_R8, Variant::FromDouble(1));
    level->SetDescription(L"kept");
    level->SetValueLimits(0, 10);
    const std::string csv =
        "Value,itemid,TYPE\r\n"
        "42,plant.LEVEL,Integer\r\n"  // restored as written, above the tag's limits
        "\r\n"
        "true,New.A.B.Flag,Bool\n"
        "\"x\"\"y\",Plant.A.Text,String";
    const TagImportResult result = ImportTagsCsv(csv, config.devices);
    ASSERT_TRUE(result.Succeeded()) << result.errors.front();
    EXPECT_EQ(1u, result.updated);
    EXPECT_EQ(2u, result.added);
    EXPECT_EQ(VT_I4, level->GetDataType());
    EXPECT_EQ(L"42", level->GetValueText());
    EXPECT_EQ(L"kept", level->GetDescription());
    EXPECT_TRUE(probe.Marked());
    ASSERT_EQ(2, config.devices.Count());
    OPCS_Tag* flag = nullptr;
    for (OPCS_Device* d : config.devices) {
        if (d->GetName() == L"New") flag = d->FindTag(L"a.b.flag");
    }
    ASSERT_NE(nullptr, flag);
    EXPECT_EQ(L"New.A.B.Flag", flag->GetItemID());
    EXPECT_EQ(OPC_QUALITY_GOOD, flag->GetQuality());
    OPCS_Tag* text = plant->FindTag(L"A.Text");
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(L"x\"y", text->GetValueText());
}

TEST(TagCsvTest, EveryBadLineIsNamedAndNothingChanges) {
    CsvConfiguration config;
    ToviDevice* plant = config.AddDevice(L"Plant");
    Tag(plant, L"Level", VT_R8, Variant::FromDouble(1));
    const std::string before = ExportTagsCsv(config.devices);
    const std::string csv =
        "ItemID,Type,Value,ValueLimits,ValueLow,ValueHigh,Deadband\r\n"
        "Plant.Good,Double,1,false,0,0,0\r\n"        // line 2: fine
        "Plant.A,Decimal,1,false,0,0,0\r\n"          // 3: unknown type
        "Plant..B,Double,1,false,0,0,0\r\n"          // 4: empty name
        "Plant.C,Integer,12abc,false,0,0,0\r\n"      // 5: value does not convert
        "plant.good,Double,2,false,0,0,0\r\n"        // 6: duplicate
        "Plant.D,Double,1\r\n"                       // 7: too few fields
        "Plant.E,Double,1,true,9,1,0\r\n"            // 8: reversed limits
        "Plant.F,Double,1,maybe,0,0,101\r\n"         // 9: bad flag
        "Lonely,Double,1,false,0,0,0\r\n"            // 10: no device
        "Plant.G,Short,70000,false,0,0,0\r\n"        // 11: out of range
        "Plant._control.H,Double,1,false,0,0,0\r\n"  // 12: a reserved group name
        "_Control.I,Double,1,false,0,0,0\r\n"        // 13: a reserved device name
        "Plant._Control,Double,1,false,0,0,0\r\n";   // 14: fine: a tag may bear it
    const TagImportResult result = ImportTagsCsv(csv, config.devices);
    ASSERT_FALSE(result.Succeeded());
    std::wstring all;
    for (const std::wstring& e : result.errors) all += e + L"\n";
    for (int line : {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) {
        EXPECT_NE(std::wstring::npos, all.find(L"line " + std::to_wstring(line) + L":")) << line << "\n" << all.c_str();
    }
    EXPECT_EQ(std::wstring::npos, all.find(L"line 2:"));
    EXPECT_EQ(std::wstring::npos, all.find(L"line 14:"));
    EXPECT_NE(std::wstring::npos, all.find(L"first on line 2"));
    EXPECT_EQ(before, ExportTagsCsv(config.devices));
    EXPECT_EQ(1, config.devices.Count());

    for (const char* bad : {"ItemID,Colour\r\nPlant.X,red\r\n", "Type\r\nDouble\r\n", "", "ItemID\r\n\"Plant.X\r\n",
                            "ItemID,ItemID\r\n", "ItemID\r\nPlant.\xFF\r\n"}) {
        EXPECT_FALSE(ImportTagsCsv(bad, config.devices).Succeeded()) << bad;
    }
    EXPECT_EQ(before, ExportTagsCsv(config.devices));
}

namespace {
VARIANT Raw(VARTYPE type) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    return v;
}
Variant Of(VARTYPE type, double number) {
    VARIANT v = Raw(type);
    if (type == VT_DATE) V_DATE(&v) = number;
    if (type == VT_ERROR) V_ERROR(&v) = static_cast<SCODE>(static_cast<DWORD>(number));
    if (type == VT_CY) V_CY(&v).int64 = static_cast<LONGLONG>(number);
    return Variant::Adopt(v);
}
}  // namespace

// What an export holds comes back as it was, whatever the tag holds: a value
// outside its limits, a value of another type than the tag's (a file's, or
// one a write could not convert), none at all, and awkward texts.
TEST(TagCsvTest, ExportImportExportIsByteEqualForAwkwardTags) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        const wchar_t* name;
        VARTYPE type;
        Variant value;
        bool limits;
        double low, high;
        WORD quality = 0xC0;
        const wchar_t* description = L"";
    };
    const Row rows[] = {
        {L"Raw", VT_R8, Variant::FromDouble(500), true, 0, 100},
        {L"Below", VT_I4, Variant::FromLong(-5), true, 0, 10},
        {L"Huge", VT_R4, Variant::FromFloat(3.4e38f), true, -1, 1},
        {L"Tenth", VT_R4, Variant::FromFloat(0.1f), false, 0, 0},
        {L"Odd float", VT_R4, Variant::FromFloat(16777217.0f), false, 0, 0},
        {L"Infinite", VT_R8, Variant::FromDouble(-inf), true, -1e300, 1e300},
        {L"NaN", VT_R8, Variant::FromDouble(nan), false, 0, 0},
        {L"Unconverted", VT_I4, Variant::FromDouble(1e300), true, 0, 1},
        {L"Text in a double", VT_R8, Variant::FromString(L"abc"), false, 0, 0},
        {L"Empty double", VT_R8, Variant(), true, 0, 1},
        {L"Empty string", VT_BSTR, Variant(), false, 0, 0},
        {L"Blank string", VT_BSTR, Variant::FromString(L""), false, 0, 0},
        {L"Null", VT_I4, Of(VT_NULL, 0), false, 0, 0},
        {L"Say \"hi\", then", VT_BSTR, Variant::FromString(L" a,\"b\"\r\nc "), false, 0, 0, 0xC0, L"x, \"y\"\n"},
        {L"Off", VT_BOOL, Variant::FromBool(false), false, 0, 0, 0x18},
        {L"Byte", VT_UI1, Variant::FromByte(255), true, 0, 100},
        {L"Short", VT_I2, Variant::FromShort(-32768), true, -1, 1},
        {L"Date", VT_DATE, Of(VT_DATE, 46000.123456789), false, 0, 0},
        {L"Error", VT_ERROR, Of(VT_ERROR, 0x80004005u), false, 0, 0},
        {L"Money", VT_CY, Of(VT_CY, -123456789), true, 0, 1},
        {L"Uncertain", VT_R8, Variant::FromDouble(-0.0), false, 0, 0, 0x40},
    };
    CsvConfiguration original;
    ToviDevice* plant = original.AddDevice(L"Plant, \"north\"");
    ToviTagGroup* area = NewGroup(L"A,\"b\"");
    plant->AddGroup(area);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        ToviTag* tag = NewTag(r.name);
        TagSettings s = tag->GetSettings();
        s.type = r.type;
        s.value = r.value;
        s.valueLimitsSet = r.limits;
        s.valueLow = r.low;
        s.valueHigh = r.high;
        s.quality = r.quality;
        s.description = r.description;
        s.timestamp = i % 3 == 0 ? FILETIME{} : FILETIME{0x89ABCDEF + static_cast<DWORD>(i), 0x01DB1234};
        s.access = static_cast<DWORD>(i % 3);
        tag->PlaceSettings(s);
        ASSERT_TRUE((i % 2 ? static_cast<OPCS_TagGroup*>(area) : plant)->AddTag(tag)) << i;
    }
    // Every other setting a row carries, on tags one level deeper.
    ToviTagGroup* deep = NewGroup(L"温度");
    area->AddGroup(deep);
    ToviTag* level = Tag(deep, L"Level", VT_R8, Variant::FromDouble(0.1 + 0.2));
    level->SetValueLimits(-5.5, 1e300);
    level->SetDeadband(2.5);
    level->EnableRawLimits(true);
    level->SetRawLimits(0, 4095);
    level->EnableScaling(true);
    level->SetScaling(1.25, 0.3);
    level->SetDescription(L"line one\r\nline \"two\", with a comma");
    level->SetSimulation(TagSimulation{true, kSimulateSine, 3, 600});
    ToviTag* ratio = Tag(deep, L"Ratio", VT_R4, Variant::FromFloat(3.1415927f));
    ratio->SetVolatile(true);
    ratio->SetAccessMode(0);
    ratio->SetSimulation(TagSimulation{false, 0, 0, 10});  // a kind no signal has, kept as a number
    const size_t tagCount = std::size(rows) + 2;

    const std::string csv = ExportTagsCsv(original.devices);
    ASSERT_EQ(0u, csv.rfind("\xEF\xBB\xBF"
                            "ItemID,Type,",
                            0));
    EXPECT_NE(std::string::npos, csv.find(Utf8(L"Plant, \"north\".A,\"b\".温度.Ratio")));
    CsvConfiguration copy;
    const TagImportResult fresh = ImportTagsCsv(csv, copy.devices);
    ASSERT_TRUE(fresh.Succeeded()) << std::string(fresh.errors.front().begin(), fresh.errors.front().end());
    EXPECT_EQ(tagCount, fresh.added);
    EXPECT_EQ(csv, ExportTagsCsv(copy.devices));
    EXPECT_EQ(SavedBytes(original.devices), SavedBytes(copy.devices));
    // Imported over the tags themselves, after every value was changed.
    for (OPCS_TagGroup* group : {static_cast<OPCS_TagGroup*>(plant), static_cast<OPCS_TagGroup*>(area)}) {
        for (OPCS_Tag* tag : group->SnapshotTags()) tag->SetValueNow(Variant::FromLong(1));
    }
    const std::string before = SavedBytes(copy.devices);
    const TagImportResult over = ImportTagsCsv(csv, original.devices);
    ASSERT_TRUE(over.Succeeded());
    EXPECT_EQ(tagCount, over.updated);
    EXPECT_EQ(0u, over.added);
    EXPECT_EQ(csv, ExportTagsCsv(original.devices));
    EXPECT_EQ(before, SavedBytes(original.devices));
}

TEST(TagCsvTest, AlarmColumnsRoundTripAndAFileWithoutThemKeepsTheAlarms) {
    CsvConfiguration original;
    ToviDevice* plant = original.AddDevice(L"Plant");
    AlarmSettings limits;
    limits.kind = AlarmKind::ExclusiveLimit;
    limits.highHigh = 95.5;
    limits.high = 80;
    limits.lowLow = -2.25;
    limits.deadband = 0.75;
    limits.severity = 250;
    limits.severityHighHigh = 1000;
    limits.message = L"Level \"high\", check pump";
    limits.needsConfirm = true;
    AlarmSettings mode;
    mode.kind = AlarmKind::OffNormal;
    mode.normalValue = Variant::FromLong(2);
    mode.enabled = false;
    AlarmSettings text;
    text.kind = AlarmKind::OffNormal;
    text.normalValue = Variant::FromString(L"");  // the empty text is a normal value of its own
    struct Row {
        const wchar_t* name;
        VARTYPE type;
        Variant value;
        AlarmSettings alarm;
    };
    const Row rows[] = {{L"Level", VT_R8, Variant::FromDouble(50), limits},
                        {L"Mode", VT_I4, Variant::FromLong(2), mode},
                        {L"Text", VT_BSTR, Variant::FromString(L"x"), text},
                        {L"Plain", VT_R8, Variant::FromDouble(1), AlarmSettings{}}};
    for (const Row& row : rows) ASSERT_TRUE(Tag(plant, row.name, row.type, row.value)->SetAlarmSettings(row.alarm));

    const std::string csv = ExportTagsCsv(original.devices);
    EXPECT_NE(std::string::npos, csv.find("Alarm,AlarmHighHigh,AlarmHigh,AlarmLow,AlarmLowLow,AlarmDeadband,"
                                          "AlarmSeverity,AlarmSeverityHighHigh,AlarmNormalValue,AlarmMessage,"
                                          "AlarmConfirm,AlarmEnabled,Historize\r\n"));
    EXPECT_NE(std::string::npos, csv.find(",None,,,,,,,,,,,,false\r\n")) << "a tag without an alarm";
    CsvConfiguration copy;
    const TagImportResult fresh = ImportTagsCsv(csv, copy.devices);
    ASSERT_TRUE(fresh.Succeeded()) << std::string(fresh.errors.front().begin(), fresh.errors.front().end());
    for (const Row& row : rows) {
        OPCS_Tag* tag = copy.devices.Count() == 1 ? (*copy.devices.begin())->FindTag(row.name) : nullptr;
        ASSERT_NE(nullptr, tag);
        EXPECT_TRUE(tag->GetAlarmSettings() == row.alarm) << std::string(row.name, row.name + wcslen(row.name));
    }
    EXPECT_EQ(csv, ExportTagsCsv(copy.devices));
    EXPECT_EQ(SavedBytes(original.devices), SavedBytes(copy.devices));

    // Columns that are not there leave the alarms alone.
    ASSERT_TRUE(ImportTagsCsv("ItemID,Value\r\nPlant.Level,5\r\nPlant.Mode,3\r\n", copy.devices).Succeeded());
    EXPECT_TRUE((*copy.devices.begin())->FindTag(L"Level")->GetAlarmSettings() == limits);
    EXPECT_TRUE((*copy.devices.begin())->FindTag(L"Mode")->GetAlarmSettings() == mode);
    // Kind None clears every other alarm setting.
    ASSERT_TRUE(ImportTagsCsv("ItemID,Alarm\r\nPlant.Level,none\r\n", copy.devices).Succeeded());
    EXPECT_FALSE((*copy.devices.begin())->FindTag(L"Level")->HasAlarm());
}

TEST(TagCsvTest, BadAlarmCombinationsAreRefusedWithTheirLine) {
    CsvConfiguration config;
    ToviDevice* plant = config.AddDevice(L"Plant");
    Tag(plant, L"Level", VT_R8, Variant::FromDouble(1));
    const std::string before = ExportTagsCsv(config.devices);
    const std::string csv =
        "ItemID,Type,Alarm,AlarmHigh,AlarmLow,AlarmSeverity,AlarmNormalValue,AlarmConfirm\r\n"
        "Plant.A,Double,ExclusiveLimit,90,10,,,\r\n"        // 2: fine
        "Plant.B,Double,ExclusiveLimit,10,20,,,\r\n"        // 3: High below Low
        "Plant.C,String,ExclusiveLimit,10,,,,\r\n"          // 4: a limit alarm on a string
        "Plant.D,Double,ExclusiveLimit,10,,0,,\r\n"         // 5: severity 0
        "Plant.E,Double,Limit,10,,,,\r\n"                   // 6: an unknown kind
        "Plant.F,Integer,OffNormal,,,,abc,\r\n"             // 7: a normal value not of the type
        "Plant.G,Double,NonExclusiveLimit,,,,,\r\n"         // 8: no limit
        "Plant.H,Double,ExclusiveLimit,x,,1001,,maybe\r\n"  // 9: not a number, not a flag
        "Plant.Level,String,,,,,,\r\n";                     // 10: fine, no alarm
    const TagImportResult result = ImportTagsCsv(csv, config.devices);
    ASSERT_FALSE(result.Succeeded());
    std::wstring all;
    for (const std::wstring& e : result.errors) all += e + L"\n";
    const std::pair<int, const wchar_t*> expected[] = {
        {3, L"The Low limit (20) is not below the High limit (10)"},
        {4, L"A limit alarm needs a numeric tag"},
        {5, L"An alarm severity must be from 1 to 1000"},
        {6, L"Alarm \"Limit\" is not an alarm"},
        {7, L"AlarmNormalValue \"abc\" does not convert to Integer"},
        {8, L"A limit alarm needs at least one limit"},
        {9, L"AlarmHigh \"x\" is not a number"},
        {9, L"AlarmConfirm \"maybe\" is not true or false"},
    };
    for (const auto& [line, text] : expected) {
        EXPECT_NE(std::wstring::npos, all.find(L"line " + std::to_wstring(line) + L": " + text))
            << line << "\n"
            << std::string(all.begin(), all.end());
    }
    EXPECT_EQ(std::wstring::npos, all.find(L"line 2:"));
    EXPECT_EQ(std::wstring::npos, all.find(L"line 10:"));
    EXPECT_EQ(before, ExportTagsCsv(config.devices));
}

TEST(TagCsvTest, TheHistorizeColumnRoundTripsAndAFileWithoutItHistorizesNothing) {
    CsvConfiguration original;
    ToviDevice* plant = original.AddDevice(L"Plant");
    Tag(plant, L"Level", VT_R8, Variant::FromDouble(1))->SetHistorize(true);
    Tag(plant, L"Mode", VT_I4, Variant::FromLong(2));
    const std::string csv = ExportTagsCsv(original.devices);
    CsvConfiguration copy;
    ASSERT_TRUE(ImportTagsCsv(csv, copy.devices).Succeeded());
    ASSERT_EQ(1, copy.devices.Count());
    ToviDevice* device = static_cast<ToviDevice*>(*copy.devices.begin());
    EXPECT_TRUE(device->FindTag(L"Level")->IsHistorized());
    EXPECT_FALSE(device->FindTag(L"Mode")->IsHistorized());
    EXPECT_EQ(csv, ExportTagsCsv(copy.devices));
    EXPECT_EQ(SavedBytes(original.devices), SavedBytes(copy.devices));
    struct Step {
        const char* csv;
        bool succeeds;
        bool level, mode, added;  // historized afterwards
    };
    const Step steps[] = {
        {"ItemID,Value\r\nPlant.Level,5\r\nPlant.Added,1\r\n", true, true, false, false},  // left alone; new: off
        {"ItemID,Historize\r\nPlant.Level,false\r\nPlant.Mode,TRUE\r\n", true, false, true, false},
        {"ItemID,Historize\r\nPlant.Level,true\r\nPlant.Mode,maybe\r\n", false, false, true, false},  // all or nothing
    };
    for (const Step& step : steps) {
        EXPECT_EQ(step.succeeds, ImportTagsCsv(step.csv, copy.devices).Succeeded()) << step.csv;
        EXPECT_EQ(step.level, device->FindTag(L"Level")->IsHistorized()) << step.csv;
        EXPECT_EQ(step.mode, device->FindTag(L"Mode")->IsHistorized()) << step.csv;
        EXPECT_EQ(step.added, device->FindTag(L"Added")->IsHistorized()) << step.csv;
    }
}

namespace {
// Runs the body on a thread with the platform's usual 1 MB stack.
template <class Body>
void OnUsualStack(Body body) {
    struct Call {
        static DWORD WINAPI Run(void* p) {
            (*static_cast<Body*>(p))();
            return 7;
        }
    };
    HANDLE thread = CreateThread(nullptr, 1024 * 1024, &Call::Run, &body, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(7u, code) << "the body did not finish";
}

std::string NestedId(size_t groups) {
    std::string id = "Plant";
    for (size_t i = 0; i < groups; ++i) id += ".G";
    return id + ".T";
}
}  // namespace

// Input an import cannot take whole is refused before anything changes: too
// many rows, a name too long, groups nested too deep.
TEST(TagCsvTest, OversizedInputIsRefusedWithItsReasonAndNothingChanges) {
    std::string tooManyRows = "ItemID\r\n";
    for (size_t i = 0; i <= kMaxImportRows; ++i) tooManyRows += "P.T\r\n";
    const std::string longName = "ItemID\r\nPlant." + std::string(65536, 'n') + "\r\n";
    const std::string tooDeep = "ItemID\r\n" + NestedId(1000) + "\r\n";
    const std::string justTooDeep = "ItemID\r\n" + NestedId(kMaxGroupDepth + 1) + "\r\n";
    const struct {
        const std::string* csv;
        const wchar_t* reason;
    } cases[] = {{&tooManyRows, L"more than 1000000 rows"},
                 {&longName, L"at most 4096 characters"},
                 {&tooDeep, L"1000 nested groups"},
                 {&justTooDeep, L"nest at most 511 deep"}};
    for (const auto& c : cases) {
        CsvConfiguration config;
        Tag(config.AddDevice(L"Plant"), L"Level", VT_R8, Variant::FromDouble(1));
        const std::string before = ExportTagsCsv(config.devices);
        const TagImportResult result = ImportTagsCsv(*c.csv, config.devices);
        ASSERT_EQ(1u, result.errors.size()) << c.csv->substr(0, 60);
        EXPECT_NE(std::wstring::npos, result.errors[0].find(c.reason)) << result.errors[0].substr(0, 200).c_str();
        EXPECT_EQ(before, ExportTagsCsv(config.devices));
        EXPECT_EQ(1, config.devices.Count());
    }
}

// The deepest tree an import takes goes through every walk (export, file,
// deletion) on a usual stack, and the editor cannot build one level deeper.
TEST(TagCsvTest, TheDeepestTreeAllowedSurvivesEveryWalk) {
    OnUsualStack([] {
        CsvConfiguration config;
        const std::string csv = "ItemID,Type,Value\r\n" + NestedId(kMaxGroupDepth) + ",Double,1\r\n";
        const TagImportResult imported = ImportTagsCsv(csv, config.devices);
        ASSERT_TRUE(imported.Succeeded());
        ASSERT_EQ(1u, imported.added);
        OPCS_TagGroup* bottom = config.devices.Count() == 1 ? *config.devices.begin() : nullptr;
        ASSERT_NE(nullptr, bottom);
        while (!bottom->SnapshotGroups().empty()) bottom = bottom->SnapshotGroups()[0];
        auto* deeper = NewGroup(L"Deeper");
        EXPECT_FALSE(bottom->AddGroup(deeper));
        delete deeper;
        EXPECT_TRUE(bottom->AddTag(NewTag(L"Beside")));

        const std::string exported = ExportTagsCsv(config.devices);
        EXPECT_NE(std::string::npos, exported.find(NestedId(kMaxGroupDepth)));
        const std::string saved = SavedBytes(config.devices);
        Archive archive(reinterpret_cast<const BYTE*>(saved.data()), saved.size());
        CsvConfiguration loaded;
        LoadConfiguration(archive, loaded.devices);
        EXPECT_EQ(0u, archive.DroppedRecords());
        EXPECT_EQ(exported, ExportTagsCsv(loaded.devices));
    });
}

// Memory running out at any point of an import or a load leaves what was
// there: the import changes nothing, the load keeps no device it made.
TEST(TagCsvTest, MemoryRunningOutAnywhereLeavesNothingHalfDone) {
    CsvConfiguration config;
    ToviDevice* plant = config.AddDevice(L"Plant");
    Tag(plant, L"Level", VT_R8, Variant::FromDouble(1))->SetDescription(L"before");
    std::string csv = "ItemID,Type,Value,Description\r\nPlant.Level,Integer,7,after\r\n";
    for (int i = 0; i < 12; ++i) {
        csv += "Plant.G" + std::to_string(i % 3) + ".T" + std::to_string(i) + ",Double,1,new\r\n";
        csv += "New" + std::to_string(i % 2) + ".H.T" + std::to_string(i) + ",Bool,true,new\r\n";
    }
    const std::string before = ExportTagsCsv(config.devices);
    const std::string file = SavedBytes(config.devices);
    wchar_t dir[MAX_PATH + 1];
    const std::wstring path = std::wstring(dir, GetTempPathW(MAX_PATH + 1, dir)) + L"TagCsvTest-load-" +
                              std::to_wstring(GetCurrentProcessId()) + L".tvf";
    {
        std::ofstream out(std::filesystem::path(path), std::ios::binary);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    bool importFailed = true, loadFailed = true;
    for (long n = 0; importFailed || loadFailed; n += 7) {
        if (importFailed) {
            t_allocationsBeforeFailure = n;
            const TagImportResult result = ImportTagsCsv(csv, config.devices);
            importFailed = t_allocationsBeforeFailure == -1;
            t_allocationsBeforeFailure = -1;
            if (importFailed) {
                ASSERT_FALSE(result.Succeeded()) << n;
                ASSERT_EQ(before, ExportTagsCsv(config.devices)) << "import failing at allocation " << n;
                ASSERT_EQ(1, config.devices.Count());
            } else {
                ASSERT_TRUE(result.Succeeded()) << n;
                EXPECT_EQ(25u, result.added + result.updated);
            }
        }
        if (loadFailed) {
            CsvConfiguration loaded;
            t_allocationsBeforeFailure = n;
            const ConfigFileResult result = LoadConfigurationFile(path, loaded.devices);
            loadFailed = t_allocationsBeforeFailure == -1;
            t_allocationsBeforeFailure = -1;
            if (loadFailed) {
                ASSERT_EQ(ConfigFileStatus::FileError, result.status) << n;
                ASSERT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), result.error);
                ASSERT_EQ(0, loaded.devices.Count());
            } else {
                ASSERT_EQ(ConfigFileStatus::Ok, result.status);
                EXPECT_EQ(before, ExportTagsCsv(loaded.devices));
            }
        }
    }
    DeleteFileW(path.c_str());
    // The file's objects are weighed before they are made.
    EXPECT_TRUE(RoomToLoad(1000, 1ull << 30));
    EXPECT_FALSE(RoomToLoad(size_t{200} << 20, 1ull << 30));
}
