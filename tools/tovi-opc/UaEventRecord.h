#pragma once
// An OPC UA event as a line of the tool's output: the fields it selects from
// every event, and the line in the three formats.
#include "UaStack.h"

#include <string>

#include "Arguments.h"

// The select clauses of an event filter that asks for the fields a line
// shows; the filter borrows static data and needs no clearing.
UA_EventFilter AlarmEventFilter();

// What an event's fields say, as text.
struct EventRecord {
    std::string time, source, state, severity, acked, confirmed, message, comment, eventId, condition;
    bool refreshStart = false, refreshEnd = false;
};

// Reads the fields in AlarmEventFilter's order; a field the event lacks is
// empty.
EventRecord RecordOfEvent(const UA_Variant* fields, size_t count);
// The CSV header line ("" for the other formats).
std::string EventHeader(WatchFormat format);
// "TIME  SOURCE  STATE  SEVERITY  ACKED  MESSAGE  EventId=HEX", a CSV row or a
// JSON object, without the line end.
std::string FormatEvent(WatchFormat format, const EventRecord& event);
// An EventId as the lines print it (hex), and back; false for text that is no
// even run of hex digits.
std::string HexOf(const UA_ByteString& bytes);
bool BytesOfHex(const std::wstring& text, UA_ByteString& out);
