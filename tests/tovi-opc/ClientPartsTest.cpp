// The client's parts that need no server: reading the streams the server's
// own writer makes, values and qualities as text, the command line, and the
// 2.0 parts (subscription, asynchronous read, properties) against a stand-in
// that offers or refuses each 2.0 interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "Arguments.h"
#include "AsyncRead.h"
#include "DataStream.h"
#include "FakeDa2Object.h"
#include "ItemProperties.h"
#include "OpcConstants.h"
#include "RecordFormat.h"
#include "StreamBlock.h"
#include "Subscription.h"
#include "ValueText.h"

namespace {
struct Built {
    std::vector<std::uint8_t> bytes;
    std::vector<size_t> valueOffsets;
};

// A stream as the server's writer lays it out: header, records, values.
Built BuildStream(const std::vector<VARIANT>& values, bool withTime, DWORD group, DWORD transaction,
                  const FILETIME& time) {
    StreamBlock block;
    const size_t record = withTime ? 20 : 12;
    size_t at = 20 + values.size() * record;
    Built built;
    for (size_t i = 0; i < values.size(); ++i) {
        const size_t r = 20 + i * record;
        EXPECT_TRUE(block.PutU32(r, static_cast<std::uint32_t>(100 + i)));
        EXPECT_TRUE(block.PutU32(r + 4, static_cast<std::uint32_t>(at)));
        EXPECT_TRUE(block.PutU16(r + 8, static_cast<std::uint16_t>(0xC0 - i)));
        EXPECT_TRUE(block.PutU16(r + 10, 0));
        if (withTime) {
            EXPECT_TRUE(block.PutFileTime(r + 12, time));
        }
        built.valueOffsets.push_back(at);
        size_t written = 0;
        EXPECT_TRUE(block.PutVariant(at, values[i], written));
        at += written;
    }
    EXPECT_TRUE(block.PutU32(0, static_cast<std::uint32_t>(at)));
    EXPECT_TRUE(block.PutU32(4, static_cast<std::uint32_t>(values.size())));
    EXPECT_TRUE(block.PutU32(8, group));
    EXPECT_TRUE(block.PutU32(12, transaction));
    EXPECT_TRUE(block.PutU32(16, 0));
    HGLOBAL memory = block.Detach();
    const auto* p = static_cast<const std::uint8_t*>(GlobalLock(memory));
    built.bytes.assign(p, p + at);
    GlobalUnlock(memory);
    GlobalFree(memory);
    return built;
}

void Put32(std::vector<std::uint8_t>& bytes, size_t at, std::uint32_t value) { std::memcpy(&bytes[at], &value, 4); }
}  // namespace

TEST(ClientStreamTest, ReadsWhatTheServersWriterWritesAndRefusesEveryDamagedStream) {
    std::mt19937 random(static_cast<unsigned>(GetTickCount()));
    std::vector<VARIANT> values(6);
    for (VARIANT& v : values) VariantInit(&v);
    V_VT(&values[0]) = VT_R8;
    V_R8(&values[0]) = std::uniform_real_distribution<double>(-1e6, 1e6)(random);
    V_VT(&values[1]) = VT_BSTR;
    const std::wstring text = L"Pump \u00fc " + std::to_wstring(random());
    V_BSTR(&values[1]) = SysAllocString(text.c_str());
    V_VT(&values[2]) = VT_BOOL;
    V_BOOL(&values[2]) = VARIANT_TRUE;
    V_VT(&values[3]) = VT_I2;
    V_I2(&values[3]) = static_cast<SHORT>(-static_cast<int>(random() % 30000));
    V_VT(&values[4]) = VT_ARRAY | VT_R4;
    V_ARRAY(&values[4]) = SafeArrayCreateVector(VT_R4, 1, 3);
    for (LONG i = 1; i <= 3; ++i) {
        float f = static_cast<float>(random() % 1000) / 4.0f;
        SafeArrayPutElement(V_ARRAY(&values[4]), &i, &f);
    }
    V_VT(&values[5]) = VT_BSTR;
    V_BSTR(&values[5]) = SysAllocString(L"");
    const FILETIME time{static_cast<DWORD>(random()), 0x01DA0000u + static_cast<DWORD>(random() % 1000)};

    for (const bool withTime : {true, false}) {
        SCOPED_TRACE(withTime ? "with time" : "without time");
        const Built built = BuildStream(values, withTime, 77, 5, time);
        DataStream stream;
        std::string why;
        ASSERT_TRUE(ParseDataStream(built.bytes.data(), built.bytes.size(), withTime, stream, &why)) << why;
        EXPECT_EQ(stream.groupClientHandle, 77u);
        EXPECT_EQ(stream.transactionId, 5u);
        ASSERT_EQ(stream.items.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            const StreamItem& item = stream.items[i];
            EXPECT_EQ(item.clientHandle, static_cast<DWORD>(100 + i));
            EXPECT_EQ(item.quality, static_cast<WORD>(0xC0 - i));
            EXPECT_EQ(item.timestamp.dwHighDateTime, withTime ? time.dwHighDateTime : 0u);
            EXPECT_EQ(item.timestamp.dwLowDateTime, withTime ? time.dwLowDateTime : 0u);
            ASSERT_EQ(V_VT(&item.value), V_VT(&values[i])) << i;
            EXPECT_EQ(ValueText(item.value), ValueText(values[i])) << i;
        }
        EXPECT_EQ(V_R8(&stream.items[0].value), V_R8(&values[0]));  // bit for bit, not through text
        EXPECT_EQ(std::wstring(V_BSTR(&stream.items[1].value)), text);

        // Cut anywhere, the stream is refused; nothing is read past its end.
        for (size_t size = 0; size < built.bytes.size(); ++size) {
            std::vector<std::uint8_t> cut(built.bytes.begin(), built.bytes.begin() + size);
            EXPECT_FALSE(ParseDataStream(cut.data(), cut.size(), withTime, stream, &why)) << size;
        }
        // A larger block than the stream (a global block is rounded up) is fine.
        std::vector<std::uint8_t> padded = built.bytes;
        padded.resize(padded.size() + 64, 0xEE);
        EXPECT_TRUE(ParseDataStream(padded.data(), padded.size(), withTime, stream, &why)) << why;

        const size_t record = withTime ? 20 : 12;
        auto damaged = [&](auto change, const char* what) {
            std::vector<std::uint8_t> bytes = built.bytes;
            change(bytes);
            EXPECT_FALSE(ParseDataStream(bytes.data(), bytes.size(), withTime, stream, &why)) << what;
        };
        damaged([&](auto& b) { Put32(b, 4, 0xFFFFFFFFu); }, "item count beyond the stream");
        damaged([&](auto& b) { Put32(b, 0, static_cast<std::uint32_t>(b.size() + 1)); }, "declared size too big");
        damaged([&](auto& b) { Put32(b, 20 + 4, 20); }, "value offset inside the records");
        damaged([&](auto& b) { Put32(b, 20 + 4, 0xFFFFFFF0u); }, "value offset far outside");
        damaged([&](auto& b) { Put32(b, built.valueOffsets[1] + 16, 0x7FFFFFFEu); }, "string length too long");
        damaged([&](auto& b) { Put32(b, built.valueOffsets[1] + 16, 3); }, "odd string length");
        damaged([&](auto& b) { Put32(b, built.valueOffsets[4] + 16 + 16, 0x40000000u); }, "array count too big");
        damaged([&](auto& b) { Put32(b, built.valueOffsets[4] + 16 + 4, 8); }, "array element size wrong");
        damaged([&](auto& b) { b[built.valueOffsets[3]] = VT_DISPATCH; }, "a pointer type");
        damaged([&](auto& b) { Put32(b, 20 + record + 4, static_cast<std::uint32_t>(b.size() - 8)); },
                "value record cut by the end");
    }
    for (VARIANT& v : values) VariantClear(&v);

    // The write-complete stream: 16-byte header, 8-byte records.
    std::vector<std::uint8_t> complete(16 + 2 * 8);
    Put32(complete, 0, 2);
    Put32(complete, 4, 9);
    Put32(complete, 8, 31);
    Put32(complete, 16, 4);
    Put32(complete, 20, 0);
    Put32(complete, 24, 5);
    Put32(complete, 28, 0xC0040006u);
    WriteCompleteStream writes;
    std::string why;
    ASSERT_TRUE(ParseWriteCompleteStream(complete.data(), complete.size(), writes, &why)) << why;
    EXPECT_EQ(writes.groupClientHandle, 9u);
    EXPECT_EQ(writes.transactionId, 31u);
    ASSERT_EQ(writes.items.size(), 2u);
    EXPECT_EQ(writes.items[1].clientHandle, 5u);
    EXPECT_EQ(writes.items[1].error, static_cast<HRESULT>(0xC0040006u));
    EXPECT_FALSE(ParseWriteCompleteStream(complete.data(), complete.size() - 1, writes, &why));
}

// What the tool's runs against the server show already (Good, Double, a short's
// overflow, CSV quoting, a JSON number) is not repeated here.
TEST(ClientTextTest, QualitiesTypesValuesAndLinesInEveryFormat) {
    EXPECT_EQ(QualityText(0xD8), "Good (Local Override)");
    EXPECT_EQ(QualityText(0x1C), "Bad (Out of Service)");
    EXPECT_EQ(QualityText(0x19), "Bad (Comm Failure), low limited");
    EXPECT_EQ(QualityText(0x00), "Bad");
    EXPECT_EQ(QualityText(0x54), "Uncertain (Engineering Units Exceeded)");
    EXPECT_EQ(QualityText(0x43), "Uncertain, constant");
    EXPECT_EQ(QualityText(0x80), "Not Used");
    EXPECT_EQ(TypeName(VT_ARRAY | VT_I2), "Array of Short");
    EXPECT_EQ(TypeName(VT_BYREF | VT_I4), "VT 0x4003");

    // Text to a canonical type and back, in the invariant locale whatever the user's.
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(TextToValue(L"2.5", VT_R8, v), S_OK);
    EXPECT_EQ(V_R8(&v), 2.5);
    EXPECT_EQ(ValueText(v), "2.5");
    EXPECT_EQ(TextToValue(L"12abc", VT_I4, v), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(TextToValue(L"True", VT_BOOL, v), S_OK);
    EXPECT_EQ(V_BOOL(&v), VARIANT_TRUE);
    EXPECT_EQ(ValueText(v), "True");
    ASSERT_EQ(TextToValue(L"a \"quoted\", text", VT_BSTR, v), S_OK);

    FILETIME time{};
    SYSTEMTIME utc{2024, 2, 4, 29, 23, 59, 58, 125};
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
    EXPECT_EQ(TimestampText(time), "2024-02-29T23:59:58.125Z");
    EXPECT_EQ(TimestampText(FILETIME{}), "");
    const ItemRecord record{"Plant.Text", &v, 0x18, time};
    EXPECT_EQ(FormatRecord(WatchFormat::Text, record),
              "Plant.Text = a \"quoted\", text  String  Bad (Comm Failure)  2024-02-29T23:59:58.125Z");
    EXPECT_EQ(FormatRecord(WatchFormat::Json, record),
              "{\"item\":\"Plant.Text\",\"value\":\"a \\\"quoted\\\", text\",\"type\":\"String\",\"quality\":"
              "\"Bad (Comm Failure)\",\"qualityCode\":24,\"timestamp\":\"2024-02-29T23:59:58.125Z\"}");
    VariantClear(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = std::nan("");
    EXPECT_NE(FormatRecord(WatchFormat::Json, ItemRecord{"x", &v, 0xC0, time}).find("\"value\":\""), std::string::npos)
        << "NaN is no JSON number";
    EXPECT_EQ(JsonString(std::string("a\nb\x01", 4)), "\"a\\u000ab\\u0001\"");
}

TEST(ClientArgumentsTest, OptionsAnywhereAndBadValuesRefused) {
    Arguments args;
    std::string why;
    const wchar_t* watch[] = {L"tovi-opc", L"watch",         L"--rate", L"250", L"P.1",
                              L"A.B",      L"--format=json", L"--for",  L"1.5", L"-5"};
    ASSERT_TRUE(ParseArguments(10, watch, args, &why)) << why;
    EXPECT_EQ(args.command, L"watch");
    ASSERT_EQ(args.words.size(), 3u);
    EXPECT_EQ(args.words[2], L"-5");  // a value, not an option
    EXPECT_EQ(args.rateMs, 250u);
    EXPECT_EQ(args.format, WatchFormat::Json);
    EXPECT_EQ(args.forSeconds, 1.5);
    EXPECT_EQ(args.version, DaVersion::Any);
    const wchar_t* read[] = {L"tovi-opc", L"read", L"--async2", L"P.1", L"--v2", L"A.B", L"--v2"};
    ASSERT_TRUE(ParseArguments(7, read, args, &why)) << why;
    EXPECT_TRUE(args.async2);
    EXPECT_EQ(args.version, DaVersion::V2);
    for (const std::vector<const wchar_t*>& bad : {std::vector<const wchar_t*>{L"t", L"watch", L"--rate", L"1.5"},
                                                   {L"t", L"watch", L"--rate"},
                                                   {L"t", L"watch", L"--for", L"-1"},
                                                   {L"t", L"watch", L"--format", L"xml"}}) {
        EXPECT_FALSE(ParseArguments(static_cast<int>(bad.size()), bad.data(), args, &why)) << bad.back();
        EXPECT_FALSE(why.empty());
    }
}

TEST(ClientDa2Test, WatchTakesTheCallbackWhereOfferedAndTheStreamElse) {
    struct Case {
        const char* what;
        IidSet refused;
        HRESULT advise;
        DaVersion wanted;
        HRESULT result;
        DaVersion used;
    };
    using enum DaVersion;
    const Case cases[] = {
        {"2.0 group", {}, S_OK, Any, S_OK, V2},
        {"1.0a group", {IID_IConnectionPointContainer, IID_IOPCAsyncIO2}, S_OK, Any, S_OK, V1},
        {"callback refused", {}, CONNECT_E_CANNOTCONNECT, Any, S_OK, V1},
        {"1.0a forced", {}, S_OK, V1, S_OK, V1},
        {"2.0 forced on 1.0a", {IID_IConnectionPointContainer}, S_OK, V2, E_NOINTERFACE, Any},
        {"server gone", {}, RPC_E_DISCONNECTED, Any, RPC_E_DISCONNECTED, Any},
        {"no subscription", {IID_IConnectionPointContainer, IID_IDataObject}, S_OK, Any, E_NOINTERFACE, Any},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Da2Calls calls;
        auto* fake = new FakeDa2Object(&calls, c.refused, c.advise);
        std::vector<DataStream> got;
        std::string why;
        {
            Subscription subscription;
            EXPECT_EQ(subscription.Start(
                          static_cast<IOPCAsyncIO2*>(fake), c.wanted, [&got](const DataStream& s) { got.push_back(s); },
                          nullptr, &why),
                      c.result);
            EXPECT_EQ(subscription.Used(), c.used);
            EXPECT_EQ(why.empty(), SUCCEEDED(c.result)) << why;
            EXPECT_EQ(calls.dataAdvises, c.used == V1 ? 1 : 0);
            // The callback asks for the current values at once.
            EXPECT_EQ(calls.refreshes, c.used == V2 ? 1 : 0);
            OPCHANDLE handles[] = {4, 7};
            VARIANT values[2];
            VariantInit(&values[0]);
            VariantInit(&values[1]);
            V_VT(&values[0]) = VT_R8;
            V_R8(&values[0]) = 1.25;
            WORD qualities[] = {0xC0, 0x00};
            FILETIME times[] = {{11, 22}, {33, 44}};
            HRESULT errors[] = {S_OK, OPC_E_BADTYPE};
            EXPECT_EQ(fake->SendChange(2, handles, values, qualities, times, errors), c.used == V2 ? S_OK : E_FAIL);
        }
        EXPECT_EQ(calls.callbackUnadvises, c.used == V2 ? 1 : 0);
        EXPECT_EQ(calls.dataUnadvises, c.used == V1 ? 1 : 0);
        fake->Release();
        if (c.used != V2) continue;
        ASSERT_EQ(got.size(), 1u);
        std::string seen = std::to_string(got[0].groupClientHandle) + ":";
        for (const StreamItem& item : got[0].items) {
            // One snprintf, not " " + text: GCC 12 at -O3 sees a false overlap in that insert.
            char part[96];
            std::snprintf(part, sizeof part, " %lu=%s/%u/%lu/%08lX", static_cast<unsigned long>(item.clientHandle),
                          ValueText(item.value).c_str(), static_cast<unsigned>(item.quality),
                          static_cast<unsigned long>(item.timestamp.dwHighDateTime),
                          static_cast<unsigned long>(item.error));
            seen += part;
        }
        EXPECT_EQ(seen, "9: 4=1.25/192/22/00000000 7=/0/44/C0040004");
    }
}

TEST(ClientDa2Test, AsyncReadTakesOnlyItsOwnCompletionAndWaitsBounded) {
    constexpr DWORD kWaitMs = 400;
    const HRESULT timeout = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    struct Case {
        const char* what;
        IidSet refused;
        Completion completion;
        std::vector<OPCHANDLE> handles;
        HRESULT result;
        std::vector<HRESULT> errors;
        std::vector<OPCHANDLE> completed;
        const char* why;  // part of the reason given, "" for none
    };
    using enum Completion;
    const Case cases[] = {
        {"answered inside Read", {}, Inside, {3, 0, 8}, S_OK, {S_OK, OPC_E_INVALIDHANDLE, S_OK}, {3, 8}, ""},
        {"answered later", {}, Later, {5, 6}, S_OK, {S_OK, S_OK}, {5, 6}, ""},
        {"never answered", {}, Never, {3}, timeout, {S_OK}, {}, "within 0.4 s"},
        {"every item refused: nothing to wait for", {}, Never, {0}, S_OK, {OPC_E_INVALIDHANDLE}, {}, ""},
        {"1.0a group", {IID_IOPCAsyncIO2}, Inside, {3}, E_NOINTERFACE, {E_FAIL}, {}, "no IOPCAsyncIO2"},
        {"no callback", {IID_IConnectionPointContainer}, Inside, {3}, E_NOINTERFACE, {E_FAIL}, {}, "no data callback"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Da2Calls calls;
        auto* fake = new FakeDa2Object(&calls, c.refused, S_OK, c.completion);
        std::vector<HRESULT> errors;
        std::vector<StreamItem> completed;
        std::string why;
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(ReadAsync2(static_cast<IOPCAsyncIO2*>(fake), c.handles, kWaitMs, errors, completed, &why), c.result);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(errors, c.errors);
        ASSERT_EQ(completed.size(), c.completed.size());
        for (size_t i = 0; i < completed.size(); ++i) {
            EXPECT_EQ(completed[i].clientHandle, c.completed[i]);
            // The completion's failed item carries no value.
            const bool failed = i + 1 == completed.size();
            EXPECT_EQ(completed[i].error, failed ? OPC_E_BADRIGHTS : S_OK);
            EXPECT_EQ(ValueText(completed[i].value), failed ? "" : std::to_string(c.completed[i]) + ".5");
        }
        EXPECT_EQ(calls.cancels, c.result == timeout ? 1 : 0);
        EXPECT_EQ(took + 20 >= kWaitMs, c.result == timeout) << took;
        EXPECT_EQ(why.empty(), *c.why == '\0') << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_EQ(calls.callbackUnadvises, calls.callbackAdvises);  // disconnected again
        fake->Release();
    }
}

// The type's and the access rights' words, and a value listed as a VARIANT,
// are in the tool's run against the server.
TEST(ClientDa2Test, PropertiesInWordsWithEachEntrysError) {
    auto value = [](VARTYPE type, double n) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = n;
        EXPECT_EQ(VariantChangeType(&v, &v, 0, type), S_OK);
        return v;
    };
    struct Row {
        DWORD id;
        const wchar_t* description;
        VARTYPE listed;
        VARIANT value;
        HRESULT error;
        const char* line;
    };
    const Row rows[] = {
        {3, L"Item Quality", VT_I2, value(VT_I2, 0x18), S_OK, "     3  Item Quality = 24 (Bad (Comm Failure))  Short"},
        {4, L"Item Timestamp", VT_DATE, value(VT_DATE, 45351.5), S_OK,
         "     4  Item Timestamp = 2024-02-29T12:00:00.000Z  Date"},
        {7, L"Item EU Type", VT_I4, value(VT_I4, 2), S_OK, "     7  Item EU Type = 2 (enumerated)  Long"},
        {2, L"Item Value", VT_R8, value(VT_I4, 2), S_OK, "     2  Item Value = 2  Long (listed as Double)"},
        {8, L"Item EUInfo", VT_ARRAY | VT_R8, VARIANT{}, S_OK, "     8  Item EUInfo = (empty)"},
        {5001, L"", VT_R8, VARIANT{}, OPC_E_INVALID_PID,
         "  5001  (no description): error: the item has no such property (OPC_E_INVALID_PID 0xC0040203)"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PropertyLine(row.id, row.description, row.listed, row.value, row.error), row.line);
    }
    VARIANT v;
    V_VT(&v) = VT_ARRAY | VT_R8;
    V_ARRAY(&v) = SafeArrayCreateVector(VT_R8, 0, 2);
    static_cast<double*>(V_ARRAY(&v)->pvData)[1] = 100;
    EXPECT_EQ(PropertyLine(8, L"Item EUInfo", VT_ARRAY | VT_R8, v, S_OK),
              "     8  Item EUInfo = [0, 100]  Array of Double");
    VariantClear(&v);
}
