#pragma once
// One item's value as a line of the tool's output, in its three formats.
#include <windows.h>
#include <oleauto.h>
#include <string>

#include "Arguments.h"

struct ItemRecord {
    std::string itemId;
    const VARIANT* value = nullptr;
    WORD quality = 0;
    FILETIME timestamp{};
};

// The CSV header line ("" for the other formats).
std::string RecordHeader(WatchFormat format);
// "ID = VALUE  TYPE  QUALITY  TIME", a CSV row or a JSON object, without the
// line end.
std::string FormatRecord(WatchFormat format, const ItemRecord& record);
// A group's keep-alive (an OnDataChange without items) as a watch prints it:
// "keep-alive  TIME", a CSV row whose item is "(keep-alive)", or
// {"keepAlive":true,"timestamp":TIME}; TIME is when it arrived.
std::string FormatKeepAlive(WatchFormat format, const FILETIME& arrived);
// The same from the columns' own texts: an OPC UA value names its type, and
// its status code stands where the quality is.
std::string FormatColumns(WatchFormat format, const std::string& itemId, const VARIANT& value, const std::string& type,
                          const std::string& quality, unsigned long qualityCode, const FILETIME& timestamp);
// Text as a JSON string literal, and as a CSV field.
std::string JsonString(const std::string& text);
std::string CsvField(const std::string& text);
