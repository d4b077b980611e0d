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
    const std::string type = TypeName(V_VT(&value));
    const std::string quality = QualityText(record.quality);
    const std::string time = TimestampText(record.timestamp);
    switch (format) {
    case WatchFormat::Csv:
        return CsvField(record.itemId) + "," + CsvField(ValueText(value)) + "," + type + "," + CsvField(quality) + "," +
               std::to_string(record.quality) + "," + time;
    case WatchFormat::Json:
        return "{\"item\":" + JsonString(record.itemId) + ",\"value\":" + JsonValue(value) +
               ",\"type\":" + JsonString(type) + ",\"quality\":" + JsonString(quality) +
               ",\"qualityCode\":" + std::to_string(record.quality) + ",\"timestamp\":" + JsonString(time) + "}";
    case WatchFormat::Text:
    default:
        return record.itemId + " = " + ValueText(value) + "  " + type + "  " + quality +
               (time.empty() ? "" : "  " + time);
    }
}
