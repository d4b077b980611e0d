// The tool's OPC DA 3.0 parts that need no server: the new options, the text
// of a VQT write, the keep-alive line, the paged browse and the reads and
// writes by item ID, against a stand-in server object.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Arguments.h"
#include "BrowseTree.h"
#include "Da3Browse.h"
#include "Da3Io.h"
#include "FakeDa3Server.h"
#include "OpcConstants.h"
#include "QualityNames.h"
#include "RecordFormat.h"
#include "ValueText.h"
#include "VqtText.h"

namespace {
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

FILETIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME utc{year, month, 0, day, hour, minute, second, ms};
    FILETIME time{};
    EXPECT_TRUE(SystemTimeToFileTime(&utc, &time));
    return time;
}
}  // namespace

TEST(Da3ArgumentsTest, NewOptionsTheirValuesAndWhatTheyExclude) {
    struct Accepted {
        std::vector<const wchar_t*> argv;
        bool da3;
        unsigned page;
        bool maxAgeGiven;
        unsigned long maxAge;
        bool inGroup, vqt, keepAliveGiven;
        unsigned long keepAlive;
    };
    const Accepted accepted[] = {
        {{L"t", L"browse", L"P", L"--da3"}, true, 1000, false, 0, false, false, false, 0},
        {{L"t", L"browse", L"P", L"--da3", L"--page=0"}, true, 0, false, 0, false, false, false, 0},
        {{L"t", L"browse", L"--page", L"7", L"P", L"--da3"}, true, 7, false, 0, false, false, false, 0},
        {{L"t", L"read", L"P", L"A", L"--max-age", L"cache"}, false, 1000, true, 0xFFFFFFFFul, false, false, false, 0},
        {{L"t", L"read", L"P", L"--max-age=device", L"A"}, false, 1000, true, 0, false, false, false, 0},
        {{L"t", L"read", L"P", L"--group", L"--max-age", L"4294967295"},
         false,
         1000,
         true,
         0xFFFFFFFFul,
         true,
         false,
         false,
         0},
        {{L"t", L"read", L"P", L"--max-age", L"2500"}, false, 1000, true, 2500, false, false, false, 0},
        {{L"t", L"write", L"P", L"--vqt", L"A=1,good", L"--group"}, false, 1000, false, 0, true, true, false, 0},
        {{L"t", L"watch", L"P", L"A", L"--keep-alive", L"0", L"--v2"}, false, 1000, false, 0, false, false, true, 0},
        {{L"t", L"watch", L"P", L"A", L"--keep-alive=1500"}, false, 1000, false, 0, false, false, true, 1500},
    };
    for (const Accepted& c : accepted) {
        Arguments args;
        std::string why;
        ASSERT_TRUE(ParseArguments(static_cast<int>(c.argv.size()), c.argv.data(), args, &why)) << why;
        SCOPED_TRACE(testing::Message() << c.argv[1] << " " << c.argv.back());
        EXPECT_EQ(args.da3, c.da3);
        EXPECT_EQ(args.pageSize, c.page);
        EXPECT_EQ(args.maxAgeGiven, c.maxAgeGiven);
        EXPECT_EQ(args.maxAgeMs, c.maxAge);
        EXPECT_EQ(args.inGroup, c.inGroup);
        EXPECT_EQ(args.vqt, c.vqt);
        EXPECT_EQ(args.keepAliveGiven, c.keepAliveGiven);
        EXPECT_EQ(args.keepAliveMs, c.keepAlive);
    }
    struct Refused {
        std::vector<const wchar_t*> argv;
        const char* why;
    };
    const Refused refused[] = {
        {{L"t", L"browse", L"P", L"--page", L"10"}, "--page goes with --da3"},
        {{L"t", L"browse", L"P", L"--da3", L"--page", L"-1"}, "--page takes a whole number"},
        {{L"t", L"browse", L"P", L"--da3", L"--page", L"2.5"}, "--page takes a whole number"},
        {{L"t", L"read", L"P", L"--max-age", L"4294967296"}, "--max-age takes whole milliseconds"},
        {{L"t", L"read", L"P", L"--max-age", L"+5"}, "--max-age takes whole milliseconds"},
        {{L"t", L"read", L"P", L"--max-age"}, "--max-age needs a value"},
        {{L"t", L"read", L"P", L"--max-age", L"0", L"--device"}, "--max-age excludes --device and --async2"},
        {{L"t", L"read", L"P", L"--async2", L"--max-age", L"0"}, "--max-age excludes --device and --async2"},
        {{L"t", L"read", L"P", L"--group"}, "--group goes with --max-age or --vqt"},
        {{L"t", L"watch", L"P", L"A", L"--keep-alive", L"1s"}, "--keep-alive takes whole milliseconds"},
        {{L"t", L"watch", L"P", L"A", L"--keep-alive", L"100", L"--v1"}, "not with --v1"},
        {{L"t", L"read", L"--ua", L"opc.tcp://h:4840/", L"A", L"--max-age", L"0"}, "OPC DA 3.0 options, not for --ua"},
        {{L"t", L"browse", L"--ua", L"opc.tcp://h:4840/", L"--da3"}, "OPC DA 3.0 options, not for --ua"},
    };
    for (const Refused& c : refused) {
        Arguments args;
        std::string why;
        EXPECT_FALSE(ParseArguments(static_cast<int>(c.argv.size()), c.argv.data(), args, &why)) << c.why;
        EXPECT_TRUE(Has(why, c.why)) << why;
    }
}

TEST(Da3TextTest, VqtWordsWithQuotedValuesQualitiesAndTimestamps) {
    const FILETIME stamp = Utc(2024, 2, 29, 23, 59, 58, 125);
    struct Case {
        const wchar_t* word;
        const wchar_t* id;
        const wchar_t* value;
        int quality;  // -1: not given
        bool timed;
        const char* why;  // "" when the word is good
    };
    const Case cases[] = {
        {L"A.B=2.5", L"A.B", L"2.5", -1, false, ""},
        {L"A.B=", L"A.B", L"", -1, false, ""},
        {L"A.B=2.5,good", L"A.B", L"2.5", 0xC0, false, ""},
        {L"A.B=2.5,Comm-Failure,2024-02-29T23:59:58.125Z", L"A.B", L"2.5", 0x18, true, ""},
        {L"A.B=2.5,,2024-02-29T23:59:58.125Z", L"A.B", L"2.5", -1, true, ""},
        {L"A.B=2.5,0x44", L"A.B", L"2.5", 0x44, false, ""},
        {L"A.B=2.5,216,", L"A.B", L"2.5", 0xD8, false, ""},
        {L"A.B=x=y", L"A.B", L"x=y", -1, false, ""},
        {L"A.B=\"a, b\",uncertain", L"A.B", L"a, b", 0x40, false, ""},
        {L"A.B=\"say \"\"hi\"\", then\"", L"A.B", L"say \"hi\", then", -1, false, ""},
        {L"A.B=\"\",bad", L"A.B", L"", 0x00, false, ""},
        {L"A.B=a \"b\" c,bad", L"A.B", L"a \"b\" c", 0x00, false, ""},
        {L"A.B", nullptr, nullptr, 0, false, "is not ITEM=VALUE[,QUALITY[,TIMESTAMP]]"},
        {L"=5", nullptr, nullptr, 0, false, "is not ITEM=VALUE"},
        {L"A.B=\"open, good", nullptr, nullptr, 0, false, "no closing quote"},
        {L"A.B=\"a\"b,good", nullptr, nullptr, 0, false, "a comma must follow the quoted value"},
        {L"A.B=1,none", nullptr, nullptr, 0, false, "\"none\" is no quality"},
        {L"A.B=1,256", nullptr, nullptr, 0, false, "\"256\" is no quality"},
        {L"A.B=1,-1", nullptr, nullptr, 0, false, "\"-1\" is no quality"},
        {L"A.B=1,0x", nullptr, nullptr, 0, false, "\"0x\" is no quality"},
        {L"A.B=1,good,2024-02-30T00:00:00Z", nullptr, nullptr, 0, false, "is no timestamp"},
        {L"A.B=1,good,2024-02-29T23:59:58.125Z,x", nullptr, nullptr, 0, false, "is no timestamp"},
    };
    for (const Case& c : cases) {
        VqtText vqt;
        std::string why;
        const bool parsed = ParseVqtText(c.word, vqt, &why);
        EXPECT_EQ(parsed, *c.why == '\0') << why;
        if (!parsed) {
            EXPECT_TRUE(Has(why, c.why)) << why;
            continue;
        }
        EXPECT_EQ(vqt.itemId, c.id);
        EXPECT_EQ(vqt.value, c.value);
        EXPECT_EQ(vqt.qualitySpecified, c.quality >= 0);
        if (c.quality >= 0) {
            EXPECT_EQ(vqt.quality, c.quality);
        }
        EXPECT_EQ(vqt.timestampSpecified, c.timed);
        if (c.timed) {
            EXPECT_EQ(CompareFileTime(&vqt.timestamp, &stamp), 0);
        }
    }
    // "now" is the moment of parsing.
    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    VqtText now;
    std::string why;
    ASSERT_TRUE(ParseVqtText(L"A=1,,now", now, &why)) << why;
    GetSystemTimeAsFileTime(&after);
    EXPECT_GE(CompareFileTime(&now.timestamp, &before), 0);
    EXPECT_LE(CompareFileTime(&now.timestamp, &after), 0);
}

TEST(Da3TextTest, TimestampsReadBackAsPrintedAndQualitiesAsFaultNamesThem) {
    struct Case {
        const wchar_t* text;
        const char* printed;  // "" when refused
    };
    const Case cases[] = {
        {L"2024-02-29T23:59:58.125Z", "2024-02-29T23:59:58.125Z"},
        {L"2024-05-01T12:34Z", "2024-05-01T12:34:00.000Z"},
        {L"2024-05-01T12:34:56Z", "2024-05-01T12:34:56.000Z"},
        {L"2024-05-01T12:34:56.5z", "2024-05-01T12:34:56.500Z"},
        {L"1601-01-01T00:00:00.001Z", "1601-01-01T00:00:00.001Z"},
        {L"2024-05-01T12:34:56.789", ""},  // no zone: not UTC for sure
        {L"2024-05-01T12:34:56+02:00", ""},
        {L"2024-05-01 12:34:56Z", ""},
        {L"2024-13-01T00:00:00Z", ""},
        {L"2023-02-29T00:00:00Z", ""},
        {L"2024-05-01T24:00:00Z", ""},
        {L"2024-05-01T12:60:00Z", ""},
        {L"2024-05-01T12:34:60Z", ""},
        {L"2024-05-01T12:34:56.Z", ""},
        {L"2024-05-01T12:34:56.12345678Z", ""},
        {L"1600-12-31T23:59:59Z", ""},
        {L"", ""},
    };
    for (const Case& c : cases) {
        FILETIME time{};
        const bool parsed = TimestampFromText(c.text, time);
        EXPECT_EQ(parsed, *c.printed != '\0') << c.printed;
        if (parsed) {
            EXPECT_EQ(TimestampText(time), c.printed);
        }
    }
    // Seven digits reach the 100 ns of a FILETIME.
    FILETIME fine{}, whole{};
    ASSERT_TRUE(TimestampFromText(L"2024-05-01T12:34:56.1234567Z", fine));
    ASSERT_TRUE(TimestampFromText(L"2024-05-01T12:34:56Z", whole));
    EXPECT_EQ((ULARGE_INTEGER{{fine.dwLowDateTime, fine.dwHighDateTime}}.QuadPart -
               ULARGE_INTEGER{{whole.dwLowDateTime, whole.dwHighDateTime}}.QuadPart),
              1234567u);

    struct Quality {
        const wchar_t* text;
        int value;  // -1 refused
    };
    const Quality qualities[] = {
        {L"good", 0xC0},
        {L"GOOD", 0xC0},
        {L"local-override", 0xD8},
        {L"last-usable", 0x44},
        {L"eu-exceeded", 0x54},
        {L"out-of-service", 0x1C},
        {L"0", 0},
        {L"255", 0xFF},
        {L"0xd8", 0xD8},
        {L"0X1c", 0x1C},
        {L"none", -1},
        {L"256", -1},
        {L"0x100", -1},
        {L" 5", -1},
        {L"5 ", -1},
        {L"1e2", -1},
        {L"", -1},
        {L"goodish", -1},
    };
    for (const Quality& q : qualities) {
        WORD value = 0xEEEE;
        EXPECT_EQ(ParseQualityText(q.text, value), q.value >= 0) << static_cast<int>(q.value);
        if (q.value >= 0) {
            EXPECT_EQ(value, q.value);
        }
    }
    int none = 0;
    ASSERT_TRUE(QualityFromName(L"None", none));
    EXPECT_EQ(none, -1);  // fault's word for the tags' own quality
}

TEST(Da3TextTest, KeepAliveIsALineOfItsOwnInEveryFormat) {
    const FILETIME at = Utc(2024, 5, 1, 12, 34, 56, 789);
    EXPECT_EQ(FormatKeepAlive(WatchFormat::Text, at), "keep-alive  2024-05-01T12:34:56.789Z");
    EXPECT_EQ(FormatKeepAlive(WatchFormat::Json, at),
              "{\"keepAlive\":true,\"timestamp\":\"2024-05-01T12:34:56.789Z\"}");
    // As many columns as the header names, the time where an item's timestamp stands.
    const std::string row = FormatKeepAlive(WatchFormat::Csv, at);
    const std::string header = RecordHeader(WatchFormat::Csv);
    EXPECT_EQ(std::count(row.begin(), row.end(), ','), std::count(header.begin(), header.end(), ','));
    EXPECT_EQ(row, "(keep-alive),,,,,2024-05-01T12:34:56.789Z");
}

TEST(Da3BrowseTest, EveryPageSizeWalksTheSameTreeAndBadPagingIsAnError) {
    const std::vector<std::pair<std::wstring, VARTYPE>> items = {
        {L"Plant.Boiler.Pressure", VT_R8},
        {L"Plant.Boiler.Mode", VT_BSTR},
        {L"Plant.Feed.Pump.Level", VT_R4},
        {L"Plant.Flow", VT_R8},
        {L"Line.Jam", VT_BOOL},
        {L"Top", VT_I4},
        {L"Top.Raw", VT_I4},  // Top: an item with children, a leaf and a branch
    };
    const std::vector<std::string> tree = {"Top",      "Plant/",  "  Flow",    "  Boiler/",   "    Pressure",
                                           "    Mode", "  Feed/", "    Pump/", "      Level", "Line/",
                                           "  Jam",    "Top/",    "  Raw"};
    const std::vector<std::string> flat = {
        "Top",      "Plant.Flow", "Plant.Boiler.Pressure", "Plant.Boiler.Mode", "Plant.Feed.Pump.Level",
        "Line.Jam", "Top.Raw"};
    constexpr int kLevels = 7;  // the root and six branches
    struct Case {
        Paging paging;
        DWORD page;
        HRESULT result;
        const char* why;
    };
    const Case cases[] = {
        {Paging::Points, 0, S_OK, ""},
        {Paging::Points, 1, S_OK, ""},
        {Paging::Points, 2, S_OK, ""},
        {Paging::Points, 3, S_OK, ""},
        {Paging::Points, 1000, S_OK, ""},
        {Paging::NoPoints, 0, S_OK, ""},  // one page each: no point needed
        {Paging::NoPoints, 2, E_FAIL, "no continuation point"},
        {Paging::OverPage, 2, E_UNEXPECTED, "gave 3 elements for a page of 2"},
    };
    for (const bool asFlat : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "page " << c.page << (asFlat ? " flat" : " tree"));
            auto* fake = new FakeDa3Server(items, c.paging, false);
            Da3BrowseSource source(fake, c.page);
            std::vector<std::string> lines;
            EXPECT_EQ(WalkTree(source, asFlat, [&lines](const std::string& line) { lines.push_back(line); }), c.result);
            EXPECT_TRUE(Has(source.Why(), c.why)) << source.Why();
            if (SUCCEEDED(c.result)) {
                EXPECT_EQ(lines, asFlat ? flat : tree);
                EXPECT_TRUE(source.Why().empty()) << source.Why();
                // Each level in pages of at most the size asked, none skipped.
                EXPECT_LE(fake->largestPage, c.page == 0 ? 3u : c.page);
                EXPECT_EQ(fake->browseCalls > kLevels, c.page == 1 || c.page == 2);
                EXPECT_EQ(static_cast<int>(source.Calls()), fake->browseCalls);
            }
            fake->Release();
        }
    }
    // BRANCH words: as written, else in any letter case; an unknown one is refused.
    auto* fake = new FakeDa3Server(items, Paging::Points, false);
    {
        Da3BrowseSource source(fake, 1);
        ASSERT_EQ(source.Enter(L"plant"), S_OK);
        ASSERT_EQ(source.Enter(L"Feed"), S_OK);
        std::vector<std::string> lines;
        EXPECT_EQ(WalkTree(source, false, [&lines](const std::string& line) { lines.push_back(line); }), S_OK);
        EXPECT_EQ(lines, (std::vector<std::string>{"Pump/", "  Level"}));
        EXPECT_EQ(source.Enter(L"Nowhere"), OPC_E_UNKNOWNITEMID);
        EXPECT_EQ(source.Enter(L"Level"), OPC_E_UNKNOWNITEMID) << "an item is no branch";
    }
    fake->Release();
}

TEST(Da3IoTest, ReadAndWriteByItemIdCarryMaxAgeTypesQualitiesAndTimestamps) {
    const std::vector<std::pair<std::wstring, VARTYPE>> items = {
        {L"Plant.Flow", VT_R8}, {L"Plant.Mode", VT_BSTR}, {L"Plant.Count", VT_I4}, {L"Plant.On", VT_BOOL}};
    for (const DWORD maxAge : {0ul, 2500ul, static_cast<unsigned long>(kMaxAgeCache)}) {
        auto* fake = new FakeDa3Server(items, Paging::Points, false);
        std::vector<StreamItem> read;
        EXPECT_EQ(ReadByItemId(fake, {L"Plant.Flow", L"Plant.Gone", L"Plant.Count"}, maxAge, read), S_FALSE);
        EXPECT_EQ(fake->maxAges, std::vector<DWORD>(3, maxAge));
        ASSERT_EQ(read.size(), 3u);
        EXPECT_EQ(read[1].error, OPC_E_UNKNOWNITEMID);
        for (const size_t i : {0u, 2u}) {
            EXPECT_EQ(read[i].error, S_OK);
            EXPECT_EQ(ValueText(read[i].value), std::to_string(i) + ".5");
            EXPECT_EQ(read[i].quality, static_cast<WORD>(0xC0 - i));
            EXPECT_EQ(read[i].timestamp.dwLowDateTime, maxAge);
        }
        fake->Release();
    }

    // Words as typed, each value converted to the type the server names.
    const wchar_t* words[] = {L"Plant.Flow=2.5,uncertain,2024-02-29T23:59:58.125Z",
                              L"Plant.Mode=\"a, b\"",
                              L"Plant.Count=12abc",
                              L"Plant.Gone=1",
                              L"Plant.On=True,,now",
                              L"Plant.Count=-7"};
    const std::vector<std::wstring> ids = {L"Plant.Flow", L"Plant.Mode", L"Plant.Count",
                                           L"Plant.Gone", L"Plant.On",   L"Plant.Count"};
    for (const bool qualityWrites : {true, false}) {
        SCOPED_TRACE(qualityWrites ? "quality writes allowed" : "quality writes refused");
        auto* fake = new FakeDa3Server(items, Paging::Points, qualityWrites);
        std::vector<VARTYPE> types;
        std::vector<HRESULT> known;
        EXPECT_EQ(CanonicalTypes(fake, ids, types, known), S_FALSE);
        EXPECT_EQ(types, (std::vector<VARTYPE>{VT_R8, VT_BSTR, VT_I4, VT_EMPTY, VT_BOOL, VT_I4}));
        EXPECT_EQ(known, (std::vector<HRESULT>{S_OK, S_OK, S_OK, OPC_E_UNKNOWNITEMID, S_OK, S_OK}));
        std::vector<std::wstring> sentIds;
        std::vector<OPCITEMVQT> wire;
        std::vector<HRESULT> converted;
        for (size_t i = 0; i < ids.size(); ++i) {
            VqtText vqt;
            std::string why;
            ASSERT_TRUE(ParseVqtText(words[i], vqt, &why)) << why;
            OPCITEMVQT one;
            converted.push_back(VqtToWire(vqt, types[i], one));
            if (FAILED(converted.back())) continue;
            sentIds.push_back(ids[i]);
            wire.push_back(one);
        }
        EXPECT_EQ(converted[2], DISP_E_TYPEMISMATCH);
        std::vector<HRESULT> errors;
        EXPECT_EQ(WriteVqtByItemId(fake, sentIds, wire, errors), S_FALSE);
        for (OPCITEMVQT& one : wire) VariantClear(&one.vDataValue);
        const HRESULT timed = qualityWrites ? S_OK : OPC_E_NOTSUPPORTED;
        EXPECT_EQ(errors, (std::vector<HRESULT>{timed, S_OK, OPC_E_UNKNOWNITEMID, timed, S_OK}));
        ASSERT_EQ(fake->written.size(), qualityWrites ? 4u : 2u);
        const WrittenVqt* mode = &fake->written[qualityWrites ? 1 : 0];
        EXPECT_EQ(mode->type, VT_BSTR);
        EXPECT_EQ(mode->value, L"a, b");
        EXPECT_FALSE(mode->qualitySpecified);
        EXPECT_FALSE(mode->timestampSpecified);
        const WrittenVqt& count = fake->written.back();
        EXPECT_EQ(count.type, VT_I4);
        EXPECT_EQ(count.value, L"-7");
        if (qualityWrites) {
            const WrittenVqt& flow = fake->written[0];
            EXPECT_EQ(flow.type, VT_R8);
            EXPECT_EQ(flow.value, L"2.5");
            EXPECT_TRUE(flow.qualitySpecified);
            EXPECT_EQ(flow.quality, 0x40);
            EXPECT_TRUE(flow.timestampSpecified);
            EXPECT_EQ(TimestampText(flow.timestamp), "2024-02-29T23:59:58.125Z");
            const WrittenVqt& on = fake->written[2];
            EXPECT_EQ(on.type, VT_BOOL);
            EXPECT_FALSE(on.qualitySpecified);
            EXPECT_TRUE(on.timestampSpecified);
        }
        fake->Release();
    }
}
