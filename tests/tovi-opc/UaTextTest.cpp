// Text to OPC UA values of each type a node may name, and UA values and
// status codes back to the tool's text: what the endpoint of this program
// cannot show (DateTime nodes, subtypes, arrays, codes it never sends).
#include "UaStack.h"

#include <gtest/gtest.h>

#include <vector>

#include "Text.h"
#include "UaEventRecord.h"
#include "UaHistoryTime.h"
#include "UaValueText.h"
#include "ValueText.h"

TEST(UaTextTest, TextBecomesEachTypesValueOrTheStatusThatSaysWhyNot) {
    const struct {
        const wchar_t* text;
        const UA_DataType* type;
        UA_StatusCode status;
        std::string shown;  // the value as the tool prints it
    } rows[] = {
        {L"2024-02-29T23:59:58.1256Z", &UA_TYPES[UA_TYPES_DATETIME], UA_STATUSCODE_GOOD, "2024-02-29T23:59:58.125Z"},
        {L"2024-05-01 12:00:00", &UA_TYPES[UA_TYPES_DATETIME], UA_STATUSCODE_GOOD, "2024-05-01T12:00:00.000Z"},
        {L"2024-04-31T00:00:00Z", &UA_TYPES[UA_TYPES_DATETIME], UA_STATUSCODE_BADTYPEMISMATCH, ""},
        {L"2024-05-01T12:00:00.Z", &UA_TYPES[UA_TYPES_DATETIME], UA_STATUSCODE_BADTYPEMISMATCH, ""},
        {L"-128", &UA_TYPES[UA_TYPES_SBYTE], UA_STATUSCODE_GOOD, "-128"},
        {L"128", &UA_TYPES[UA_TYPES_SBYTE], UA_STATUSCODE_BADOUTOFRANGE, ""},
        {L"18446744073709551615", &UA_TYPES[UA_TYPES_UINT64], UA_STATUSCODE_GOOD, "18446744073709551615"},
        {L"-1", &UA_TYPES[UA_TYPES_UINT32], UA_STATUSCODE_BADOUTOFRANGE, ""},
        {L"True", &UA_TYPES[UA_TYPES_BOOLEAN], UA_STATUSCODE_GOOD, "True"},
        {L"maybe", &UA_TYPES[UA_TYPES_BOOLEAN], UA_STATUSCODE_BADTYPEMISMATCH, ""},
        {L"0.1", &UA_TYPES[UA_TYPES_FLOAT], UA_STATUSCODE_GOOD, "0.1"},
        {L"250.5", &UA_TYPES[UA_TYPES_DURATION], UA_STATUSCODE_GOOD, "250.5"},
        {L"a, \"b\"", nullptr, UA_STATUSCODE_GOOD, "a, \"b\""},
        {L"Text", &UA_TYPES[UA_TYPES_LOCALIZEDTEXT], UA_STATUSCODE_GOOD, "Text"},
        {L"i=85", &UA_TYPES[UA_TYPES_NODEID], UA_STATUSCODE_BADTYPEMISMATCH, ""},
    };
    for (const auto& row : rows) {
        UA_Variant value;
        EXPECT_EQ(TextToUaValue(row.text, row.type, value), row.status) << ToUtf8(row.text);
        if (row.status == UA_STATUSCODE_GOOD) {
            // A subtype keeps its own type; a node without one gets a String.
            EXPECT_EQ(value.type, row.type != nullptr ? row.type : &UA_TYPES[UA_TYPES_STRING]) << ToUtf8(row.text);
            VARIANT shown;
            UaToVariant(value, shown);
            EXPECT_EQ(ValueText(shown), row.shown);
            VariantClear(&shown);
        }
        UA_Variant_clear(&value);
    }
}

TEST(UaTextTest, StatusCodesArraysAndTypesWithoutAVariantForm) {
    EXPECT_EQ(UaStatusText(UA_STATUSCODE_UNCERTAINLASTUSABLEVALUE | 0x0400 | 0x0300),
              "UncertainLastUsableValue, constant");
    // Limit bits count only in a data value's info bits.
    EXPECT_EQ(UaStatusText(UA_STATUSCODE_BAD | 0x0800 | 0x0100), "Bad");
    EXPECT_EQ(UaResultText(0x8FFF0000), "0x8FFF0000 (0x8FFF0000)");
    EXPECT_EQ(UaResultText(UA_STATUSCODE_GOODCLAMPED), "GoodClamped (0x00300000)");

    UA_Int16 numbers[] = {-1, 2, 300};
    UA_Variant array;
    UA_Variant_setArray(&array, numbers, 3, &UA_TYPES[UA_TYPES_INT16]);
    VARIANT shown;
    UaToVariant(array, shown);
    EXPECT_EQ(ValueText(shown), "[-1, 2, 300]");
    EXPECT_EQ(UaTypeName(array.type, true), "Array of Int16");
    VariantClear(&shown);
    UA_Byte bytes[] = {0x00, 0xAB, 0x7F};
    UA_ByteString blob{3, bytes};
    UA_Variant_setScalar(&array, &blob, &UA_TYPES[UA_TYPES_BYTESTRING]);
    UaToVariant(array, shown);
    EXPECT_EQ(ValueText(shown), "00AB7F");
    VariantClear(&shown);
    UA_NodeId node = UA_NODEID_STRING(2, const_cast<char*>("Plant.Flow"));
    UA_Variant_setScalar(&array, &node, &UA_TYPES[UA_TYPES_NODEID]);
    UaToVariant(array, shown);
    EXPECT_EQ(ValueText(shown), "ns=2;s=Plant.Flow");
    VariantClear(&shown);
}

// Events from any server: fields that a type lacks arrive empty, the refresh's
// brackets are known by their type, and EventIds go to hex and back exactly.
TEST(UaTextTest, EventsOfAnyTypeBecomeLinesAndEventIdsRoundTrip) {
    const UA_EventFilter filter = AlarmEventFilter();
    std::vector<UA_Variant> fields(filter.selectClausesSize);
    for (UA_Variant& field : fields) UA_Variant_init(&field);
    UA_Byte idBytes[] = {0x00, 0x9f, 0xff};
    UA_ByteString id{3, idBytes};
    UA_NodeId endType = UA_NODEID_NUMERIC(0, UA_NS0ID_REFRESHENDEVENTTYPE);
    UA_String source = UA_STRING(const_cast<char*>("Server"));
    UA_UInt16 severity = 1;
    UA_Variant_setScalar(&fields[0], &id, &UA_TYPES[UA_TYPES_BYTESTRING]);
    UA_Variant_setScalar(&fields[1], &endType, &UA_TYPES[UA_TYPES_NODEID]);
    UA_Variant_setScalar(&fields[3], &source, &UA_TYPES[UA_TYPES_STRING]);
    UA_Variant_setScalar(&fields[4], &severity, &UA_TYPES[UA_TYPES_UINT16]);
    EventRecord event = RecordOfEvent(fields.data(), fields.size());
    EXPECT_TRUE(event.refreshEnd && !event.refreshStart);
    EXPECT_EQ(FormatEvent(WatchFormat::Csv, event), ",Server,,1,,,,,009fff,");
    // A short field list (a server that answers fewer) is no fault either.
    event = RecordOfEvent(fields.data(), 2);
    EXPECT_EQ(FormatEvent(WatchFormat::Json, event),
              "{\"time\":\"\",\"source\":\"\",\"state\":\"\",\"severity\":null,\"acked\":\"\",\"confirmed\":\"\","
              "\"message\":\"\",\"comment\":\"\",\"eventId\":\"009fff\",\"condition\":\"\"}");

    for (const auto& [text, good] : {std::pair{L"009FfF", true}, std::pair{L"", true}, std::pair{L"0", false},
                                     std::pair{L"0g", false}, std::pair{L"\xFF10\xFF10", false}}) {
        UA_ByteString bytes;
        EXPECT_EQ(BytesOfHex(text, bytes), good) << ToUtf8(text);
        if (good) {
            EXPECT_EQ(HexOf(bytes), ToUtf8(text).empty() ? "" : "009fff");
        }
        UA_ByteString_clear(&bytes);
    }
}

TEST(UaTextTest, HistoryTimesAreIsoNowOrRelativeToNow) {
    UA_DateTimeStruct when{};
    when.year = 2026;
    when.month = 3;
    when.day = 1;
    when.hour = 8;
    const UA_DateTime morning = UA_DateTime_fromStruct(when);
    const UA_DateTime now = morning + 123;
    const struct {
        const wchar_t* text;
        bool parsed;
        UA_DateTime expected;
    } rows[] = {
        {L"2026-03-01T08:00:00Z", true, morning},
        {L"2026-03-01T08:00:00.5Z", true, morning + UA_DATETIME_SEC / 2},
        {L"now", true, now},
        {L"-1h", true, now - 3600 * UA_DATETIME_SEC},
        {L"+15m", true, now + 15 * 60 * UA_DATETIME_SEC},
        {L"-2d", true, now - 2 * 86400 * UA_DATETIME_SEC},
        {L"-500ms", true, now - 500 * UA_DATETIME_MSEC},
        {L"-1.5s", true, now - 15 * UA_DATETIME_SEC / 10},
        {L"-1y", false, 0},
        {L"-h", false, 0},
        {L"2026-02-30T00:00:00Z", false, 0},
        {L"yesterday", false, 0},
        {L"", false, 0},
    };
    for (const auto& row : rows) {
        UA_DateTime parsed = 0;
        EXPECT_EQ(ParseHistoryTime(row.text, now, parsed), row.parsed) << ToUtf8(row.text);
        if (row.parsed) {
            EXPECT_EQ(parsed, row.expected) << ToUtf8(row.text);
        }
    }
    std::vector<UA_DateTime> times;
    EXPECT_TRUE(ParseHistoryTimes(L"now,-1s,2026-03-01T08:00:00Z", now, times));
    EXPECT_EQ(times, (std::vector<UA_DateTime>{now, now - UA_DATETIME_SEC, morning}));
    EXPECT_FALSE(ParseHistoryTimes(L"now,,-1s", now, times));
}
