#include "RecordFormat.h"

#include <cmath>
#include <cstdio>

#include "ValueText.h"

namespace {
bool IsNumber(VARTYPE type) {
    switch (type) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8: return true;
    default: return false;
    }
}

std::string JsonValue(const VARIANT& value) {
    const VARTYPE type = V_VT(&value);
    if (type == VT_EMPTY || type == VT_NULL) return "null";
    if (type == VT_BOOL) return V_BOOL(&value) != VARIANT_FALSE ? "true" : "false";
    bool ok = true;
    const std::string text = ValueText(value, &ok);
    if (IsNumber(type) && ok) {
        // NaN and infinities have no JSON number form.
        if ((type == VT_R8 && !std::isfinite(V_R8(&value))) || (type == VT_R4 && !std::isfinite(V_R4(&value)))) {
            return JsonString(text);
        }
        return text;
    }
    return JsonString(text);
}
}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string RecordHeader(WatchFormat format) {
    return format == WatchFormat::Csv ? "item,value,type,quality,quality code,timestamp" : "";
}

std::string FormatRecord(WatchFormat format, const ItemRecord& record) {
    VARIANT empty;
    VariantInit(&empty);
    const VARIANT& value = record.value != nullptr ? *record.value : empty;
    return FormatColumns(format, record.itemId, value, TypeName(V_VT(&value)), QualityText(record.quality),
                         record.quality, record.timestamp);
}

std::string FormatKeepAlive(WatchFormat format, const FILETIME& arrived) {
    const std::string time = TimestampText(arrived);
    switch (format) {
    case WatchFormat::Csv: return "(keep-alive),,,,," + time;
    case WatchFormat::Json: return "{\"keepAlive\":true,\"timestamp\":" + JsonString(time) + "}";
    case WatchFormat::Text:
    default: return "keep-alive  " + time;
    }
}

std::string FormatColumns(WatchFormat format, const std::string& itemId, const VARIANT& value, const std::string& type,
                          const std::string& quality, unsigned long qualityCode, const FILETIME& timestamp) {
    const std::string time = TimestampText(timestamp);
    switch (format) {
    case WatchFormat::Csv:
        return CsvField(itemId) + "," + CsvField(ValueText(value)) + "," + type + "," + CsvField(quality) + "," +
               std::to_string(qualityCode) + "," + time;
    case WatchFormat::Json:
        return "{\"item\":" + JsonString(itemId) + ",\"value\":" + JsonValue(value) + ",\"type\":" + JsonString(type) +
               ",\"quality\":" + JsonString(quality) + ",\"qualityCode\":" + std::to_string(qualityCode) +
               ",\"timestamp\":" + JsonString(time) + "}";
    case WatchFormat::Text:
    default:
        return itemId + " = " + ValueText(value) + "  " + type + "  " + quality + (time.empty() ? "" : "  " + time);
    }
}
