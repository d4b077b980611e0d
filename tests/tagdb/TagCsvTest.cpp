#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ConfigurationFile.h"
#include "CsvText.h"
#include "Quality.h"
#include "SimulatedSignal.h"
#include "TagCsv.h"
#include "TagDbFixtures.h"
#include "ToviDevice.h"

namespace {
struct Configuration {
    Dll<OPCS_Device*> devices;
    ~Configuration() {
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
    const std::wstring path = std::wstring(dir, GetTempPathW(MAX_PATH + 1, dir)) + L"TagCsvTest.tvf";
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

TEST(TagCsvTest, ExportThenImportIntoAnEmptyConfigurationSavesTheSameBytes) {
    Configuration original;
    ToviDevice* plant = original.AddDevice(L"Plant");
    ToviTagGroup* area = NewGroup(L"Área \"7\", north");
    plant->AddGroup(area);
    ToviTagGroup* deep = NewGroup(L"温度");
    area->AddGroup(deep);
    area->AddGroup(NewGroup(L"Second"));
    Tag(plant, L"Flag", VT_BOOL, Variant::FromBool(true));
    Tag(plant, L"Count", VT_I4, Variant::FromLong(-123456));
    Tag(plant, L"Small", VT_UI1, Variant::FromByte(200));
    Tag(plant, L"Short", VT_I2, Variant::FromShort(-7));
    ToviTag* level = Tag(area, L"Level", VT_R8, Variant::FromDouble(0.1 + 0.2));
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
    Tag(deep, L"Text", VT_BSTR, Variant::FromString(L"a,b\n\"c\" ✓"));
    Tag(deep, L"Nothing", VT_R8, Variant());

    const std::string csv = ExportTagsCsv(original.devices);
    ASSERT_EQ(0u, csv.rfind("\xEF\xBB\xBF" "ItemID,Type,", 0));
    EXPECT_NE(std::string::npos, csv.find(Utf8(L"Plant.Área \"7\", north.温度.Ratio")));
    Configuration copy;
    const TagImportResult result = ImportTagsCsv(csv, copy.devices);
    ASSERT_TRUE(result.Succeeded()) << result.errors.front();
    EXPECT_EQ(8u, result.added);
    EXPECT_EQ(csv, ExportTagsCsv(copy.devices));
    // "Second" has no tags and so no rows: drop it for the byte comparison.
    area->RemoveGroup(area->SnapshotGroups().back());
    EXPECT_EQ(SavedBytes(original.devices), SavedBytes(copy.devices));

    // Importing the same file again updates every tag and adds none.
    const TagImportResult again = ImportTagsCsv(csv, copy.devices);
    EXPECT_EQ(0u, again.added);
    EXPECT_EQ(8u, again.updated);
}

TEST(TagCsvTest, ColumnsInAnyOrderUpdateWhatTheyNameAndCreateThePath) {
    CountingDocument document;
    Configuration config;
    ToviDevice* plant = config.AddDevice(L"Plant");
    ToviTag* level = Tag(plant, L"Level", VT_R8, Variant::FromDouble(1));
    level->SetDescription(L"kept");
    level->SetValueLimits(0, 10);
    const std::string csv = "Value,itemid,TYPE\r\n"
                            "42,plant.LEVEL,Integer\r\n"   // clamped to the tag's limits
                            "\r\n"
                            "true,New.A.B.Flag,Bool\n"
                            "\"x\"\"y\",Plant.A.Text,String";
    const TagImportResult result = ImportTagsCsv(csv, config.devices);
    ASSERT_TRUE(result.Succeeded()) << result.errors.front();
    EXPECT_EQ(1u, result.updated);
    EXPECT_EQ(2u, result.added);
    EXPECT_EQ(VT_I4, level->GetDataType());
    EXPECT_EQ(L"10", level->GetValueText());
    EXPECT_EQ(L"kept", level->GetDescription());
    EXPECT_GT(document.marks, 0);
    ASSERT_EQ(2, config.devices.Count());
    OPCS_Tag* flag = nullptr;
    for (OPCS_Device* d : config.devices) {
        if (d->GetName() == L"New") flag = d->FindTag(L"a.b.flag");
    }
    ASSERT_NE(nullptr, flag);
    EXPECT_EQ(L"New.A.B.Flag", flag->GetItemID());
    EXPECT_EQ(kQualityGood, flag->GetQuality());
    OPCS_Tag* text = plant->FindTag(L"A.Text");
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(L"x\"y", text->GetValueText());
}

TEST(TagCsvTest, EveryBadLineIsNamedAndNothingChanges) {
    Configuration config;
    ToviDevice* plant = config.AddDevice(L"Plant");
    Tag(plant, L"Level", VT_R8, Variant::FromDouble(1));
    const std::string before = ExportTagsCsv(config.devices);
    const std::string csv = "ItemID,Type,Value,ValueLimits,ValueLow,ValueHigh,Deadband\r\n"
                            "Plant.Good,Double,1,false,0,0,0\r\n"       // line 2: fine
                            "Plant.A,Decimal,1,false,0,0,0\r\n"         // 3: unknown type
                            "Plant..B,Double,1,false,0,0,0\r\n"         // 4: empty name
                            "Plant.C,Integer,12abc,false,0,0,0\r\n"     // 5: value does not convert
                            "plant.good,Double,2,false,0,0,0\r\n"       // 6: duplicate
                            "Plant.D,Double,1\r\n"                      // 7: too few fields
                            "Plant.E,Double,1,true,9,1,0\r\n"           // 8: reversed limits
                            "Plant.F,Double,1,maybe,0,0,101\r\n"        // 9: bad flag
                            "Lonely,Double,1,false,0,0,0\r\n"           // 10: no device
                            "Plant.G,Short,70000,false,0,0,0\r\n";      // 11: out of range
    const TagImportResult result = ImportTagsCsv(csv, config.devices);
    ASSERT_FALSE(result.Succeeded());
    std::wstring all;
    for (const std::wstring& e : result.errors) all += e + L"\n";
    for (int line : {3, 4, 5, 6, 7, 8, 9, 10, 11}) {
        EXPECT_NE(std::wstring::npos, all.find(L"line " + std::to_wstring(line) + L":")) << line << "\n" << all.c_str();
    }
    EXPECT_EQ(std::wstring::npos, all.find(L"line 2:"));
    EXPECT_NE(std::wstring::npos, all.find(L"first on line 2"));
    EXPECT_EQ(before, ExportTagsCsv(config.devices));
    EXPECT_EQ(1, config.devices.Count());

    for (const char* bad : {"ItemID,Colour\r\nPlant.X,red\r\n", "Type\r\nDouble\r\n", "", "ItemID\r\n\"Plant.X\r\n",
                            "ItemID,ItemID\r\n", "ItemID\r\nPlant.\xFF\r\n"}) {
        EXPECT_FALSE(ImportTagsCsv(bad, config.devices).Succeeded()) << bad;
    }
    EXPECT_EQ(before, ExportTagsCsv(config.devices));
}
