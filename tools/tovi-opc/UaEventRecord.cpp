#include "UaStack.h"

#include "UaEventRecord.h"

#include "RecordFormat.h"
#include "ValueText.h"

namespace {
// One field: the type that defines it and its browse path below the event.
struct Field {
    UA_UInt32 type;
    const char* path[2];
    UA_UInt32 attribute = UA_ATTRIBUTEID_VALUE;
};

enum : size_t {
    kEventId,
    kEventType,
    kTime,
    kSourceName,
    kSeverity,
    kMessage,
    kEnabledId,
    kActive,
    kActiveEffective,
    kAckedId,
    kConfirmedId,
    kComment,
    kConditionId,
    kFieldCount
};

const Field kFields[kFieldCount] = {
    {UA_NS0ID_BASEEVENTTYPE, {"EventId"}},
    {UA_NS0ID_BASEEVENTTYPE, {"EventType"}},
    {UA_NS0ID_BASEEVENTTYPE, {"Time"}},
    {UA_NS0ID_BASEEVENTTYPE, {"SourceName"}},
    {UA_NS0ID_BASEEVENTTYPE, {"Severity"}},
    {UA_NS0ID_BASEEVENTTYPE, {"Message"}},
    {UA_NS0ID_CONDITIONTYPE, {"EnabledState", "Id"}},
    {UA_NS0ID_ALARMCONDITIONTYPE, {"ActiveState"}},
    {UA_NS0ID_ALARMCONDITIONTYPE, {"ActiveState", "EffectiveDisplayName"}},
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE, {"AckedState", "Id"}},
    {UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE, {"ConfirmedState", "Id"}},
    {UA_NS0ID_CONDITIONTYPE, {"Comment"}},
    // The condition itself: its NodeId, through an empty path.
    {UA_NS0ID_CONDITIONTYPE, {}, UA_ATTRIBUTEID_NODEID},
};

// The clauses and their paths, made once: the filter only borrows them.
struct Clauses {
    UA_SimpleAttributeOperand operands[kFieldCount];
    UA_QualifiedName names[kFieldCount][2];
    Clauses() {
        for (size_t i = 0; i < kFieldCount; ++i) {
            UA_SimpleAttributeOperand& operand = operands[i];
            UA_SimpleAttributeOperand_init(&operand);
            operand.typeDefinitionId = UA_NODEID_NUMERIC(0, kFields[i].type);
            operand.attributeId = kFields[i].attribute;
            size_t depth = 0;
            for (const char* name : kFields[i].path) {
                if (name != nullptr) names[i][depth++] = UA_QUALIFIEDNAME(0, const_cast<char*>(name));
            }
            operand.browsePath = depth != 0 ? names[i] : nullptr;
            operand.browsePathSize = depth;
        }
    }
};

template <typename T>
const T* Scalar(const UA_Variant* fields, size_t count, size_t index, int typeIndex) {
    if (index >= count || !UA_Variant_hasScalarType(&fields[index], &UA_TYPES[typeIndex])) return nullptr;
    return static_cast<const T*>(fields[index].data);
}

std::string Text(const UA_String& text) { return std::string(reinterpret_cast<const char*>(text.data), text.length); }

std::string TwoState(const UA_Boolean* id, const char* yes, const char* no) {
    return id == nullptr ? std::string() : *id ? yes : no;
}
}  // namespace

UA_EventFilter AlarmEventFilter() {
    static Clauses clauses;
    UA_EventFilter filter;
    UA_EventFilter_init(&filter);
    filter.selectClauses = clauses.operands;
    filter.selectClausesSize = kFieldCount;
    return filter;
}

EventRecord RecordOfEvent(const UA_Variant* fields, size_t count) {
    EventRecord event;
    if (const auto* type = Scalar<UA_NodeId>(fields, count, kEventType, UA_TYPES_NODEID)) {
        const UA_NodeId start = UA_NODEID_NUMERIC(0, UA_NS0ID_REFRESHSTARTEVENTTYPE);
        const UA_NodeId end = UA_NODEID_NUMERIC(0, UA_NS0ID_REFRESHENDEVENTTYPE);
        event.refreshStart = UA_NodeId_equal(type, &start);
        event.refreshEnd = UA_NodeId_equal(type, &end);
    }
    if (const auto* id = Scalar<UA_ByteString>(fields, count, kEventId, UA_TYPES_BYTESTRING))
        event.eventId = HexOf(*id);
    if (const auto* time = Scalar<UA_DateTime>(fields, count, kTime, UA_TYPES_DATETIME)) {
        const auto ticks = static_cast<unsigned long long>(*time);
        event.time = TimestampText(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)});
    }
    if (const auto* source = Scalar<UA_String>(fields, count, kSourceName, UA_TYPES_STRING))
        event.source = Text(*source);
    if (const auto* severity = Scalar<UA_UInt16>(fields, count, kSeverity, UA_TYPES_UINT16)) {
        event.severity = std::to_string(*severity);
    }
    if (const auto* message = Scalar<UA_LocalizedText>(fields, count, kMessage, UA_TYPES_LOCALIZEDTEXT)) {
        event.message = Text(message->text);
    }
    if (const auto* comment = Scalar<UA_LocalizedText>(fields, count, kComment, UA_TYPES_LOCALIZEDTEXT)) {
        event.comment = Text(comment->text);
    }
    // A disabled condition's other states mean nothing.
    const auto* enabled = Scalar<UA_Boolean>(fields, count, kEnabledId, UA_TYPES_BOOLEAN);
    const auto* effective = Scalar<UA_LocalizedText>(fields, count, kActiveEffective, UA_TYPES_LOCALIZEDTEXT);
    const auto* active = Scalar<UA_LocalizedText>(fields, count, kActive, UA_TYPES_LOCALIZEDTEXT);
    if (enabled != nullptr && !*enabled) {
        event.state = "Disabled";
    } else if (effective != nullptr && effective->text.length != 0) {
        event.state = Text(effective->text);
    } else if (active != nullptr) {
        event.state = Text(active->text);
    }
    event.acked = TwoState(Scalar<UA_Boolean>(fields, count, kAckedId, UA_TYPES_BOOLEAN), "Acked", "Unacked");
    event.confirmed =
        TwoState(Scalar<UA_Boolean>(fields, count, kConfirmedId, UA_TYPES_BOOLEAN), "Confirmed", "Unconfirmed");
    if (const auto* condition = Scalar<UA_NodeId>(fields, count, kConditionId, UA_TYPES_NODEID)) {
        UA_String printed = UA_STRING_NULL;
        UA_NodeId_print(condition, &printed);
        event.condition = Text(printed);
        UA_String_clear(&printed);
    }
    return event;
}

std::string EventHeader(WatchFormat format) {
    return format == WatchFormat::Csv ? "time,source,state,severity,acked,confirmed,message,comment,eventId,condition"
                                      : "";
}

std::string FormatEvent(WatchFormat format, const EventRecord& e) {
    switch (format) {
    case WatchFormat::Csv:
        return e.time + "," + CsvField(e.source) + "," + CsvField(e.state) + "," + e.severity + "," + e.acked + "," +
               e.confirmed + "," + CsvField(e.message) + "," + CsvField(e.comment) + "," + e.eventId + "," +
               CsvField(e.condition);
    case WatchFormat::Json:
        return "{\"time\":" + JsonString(e.time) + ",\"source\":" + JsonString(e.source) +
               ",\"state\":" + JsonString(e.state) + ",\"severity\":" + (e.severity.empty() ? "null" : e.severity) +
               ",\"acked\":" + JsonString(e.acked) + ",\"confirmed\":" + JsonString(e.confirmed) +
               ",\"message\":" + JsonString(e.message) + ",\"comment\":" + JsonString(e.comment) +
               ",\"eventId\":" + JsonString(e.eventId) + ",\"condition\":" + JsonString(e.condition) + "}";
    case WatchFormat::Text:
    default: {
        // One column: the confirmation shows only while it is awaited.
        const std::string acked = e.confirmed == "Unconfirmed" ? e.acked + "/" + e.confirmed : e.acked;
        return e.time + "  " + e.source + "  " + e.state + "  " + e.severity + "  " + acked + "  " + e.message +
               "  EventId=" + e.eventId;
    }
    }
}

std::string HexOf(const UA_ByteString& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.length * 2);
    for (size_t i = 0; i < bytes.length; ++i) {
        text += kDigits[bytes.data[i] >> 4];
        text += kDigits[bytes.data[i] & 15];
    }
    return text;
}

bool BytesOfHex(const std::wstring& text, UA_ByteString& out) {
    UA_ByteString_init(&out);
    if (text.size() % 2 != 0) return false;
    for (const wchar_t c : text) {
        if (!(c >= L'0' && c <= L'9') && !((c | 0x20) >= L'a' && (c | 0x20) <= L'f')) return false;
    }
    if (text.empty()) return true;
    if (UA_ByteString_allocBuffer(&out, text.size() / 2) != UA_STATUSCODE_GOOD) return false;
    auto digit = [](wchar_t c) { return c <= L'9' ? c - L'0' : (c | 0x20) - L'a' + 10; };
    for (size_t i = 0; i < out.length; ++i) {
        out.data[i] = static_cast<UA_Byte>(digit(text[2 * i]) * 16 + digit(text[2 * i + 1]));
    }
    return true;
}
