#include "UaStack.h"

#include "UaValueText.h"

#include <cstdio>
#include <cstring>

#include "RecordFormat.h"
#include "Text.h"
#include "ValueText.h"

namespace {
// The VARIANT type a UA type prints through; VT_BSTR for what prints as text.
VARTYPE VarTypeOf(const UA_DataType* type) {
    switch (type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN: return VT_BOOL;
    case UA_DATATYPEKIND_SBYTE: return VT_I1;
    case UA_DATATYPEKIND_BYTE: return VT_UI1;
    case UA_DATATYPEKIND_INT16: return VT_I2;
    case UA_DATATYPEKIND_UINT16: return VT_UI2;
    case UA_DATATYPEKIND_INT32:
    case UA_DATATYPEKIND_ENUM: return VT_I4;
    case UA_DATATYPEKIND_UINT32: return VT_UI4;
    case UA_DATATYPEKIND_INT64: return VT_I8;
    case UA_DATATYPEKIND_UINT64: return VT_UI8;
    case UA_DATATYPEKIND_FLOAT: return VT_R4;
    case UA_DATATYPEKIND_DOUBLE: return VT_R8;
    default: return VT_BSTR;
    }
}

std::string Utf8Of(const UA_String& text) {
    return text.length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(text.data), text.length);
}

FILETIME FileTimeOf(UA_DateTime time) {
    // Both count 100 ns from 1601 in UTC.
    const auto ticks = static_cast<unsigned long long>(time);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::string Printed(UA_StatusCode (*print)(const void*, UA_String*), const void* data) {
    UA_String printed = UA_STRING_NULL;
    print(data, &printed);
    std::string text = Utf8Of(printed);
    UA_String_clear(&printed);
    return text;
}

std::string ElementText(const UA_DataType* type, const void* data) {
    switch (type->typeKind) {
    case UA_DATATYPEKIND_STRING: return Utf8Of(*static_cast<const UA_String*>(data));
    case UA_DATATYPEKIND_DATETIME: return TimestampText(FileTimeOf(*static_cast<const UA_DateTime*>(data)));
    case UA_DATATYPEKIND_LOCALIZEDTEXT: return Utf8Of(static_cast<const UA_LocalizedText*>(data)->text);
    case UA_DATATYPEKIND_STATUSCODE: return UaStatusText(*static_cast<const UA_StatusCode*>(data));
    case UA_DATATYPEKIND_QUALIFIEDNAME: {
        const auto* name = static_cast<const UA_QualifiedName*>(data);
        return std::to_string(name->namespaceIndex) + ":" + Utf8Of(name->name);
    }
    case UA_DATATYPEKIND_NODEID:
        return Printed(
            [](const void* id, UA_String* out) { return UA_NodeId_print(static_cast<const UA_NodeId*>(id), out); },
            data);
    case UA_DATATYPEKIND_EXPANDEDNODEID:
        return Printed(
            [](const void* id, UA_String* out) {
                return UA_ExpandedNodeId_print(static_cast<const UA_ExpandedNodeId*>(id), out);
            },
            data);
    case UA_DATATYPEKIND_GUID:
        return Printed(
            [](const void* id, UA_String* out) { return UA_Guid_print(static_cast<const UA_Guid*>(id), out); }, data);
    case UA_DATATYPEKIND_BYTESTRING: {
        const auto* bytes = static_cast<const UA_ByteString*>(data);
        std::string hex;
        char pair[3];
        for (size_t i = 0; i < bytes->length; ++i) {
            std::snprintf(pair, sizeof pair, "%02X", bytes->data[i]);
            hex += pair;
        }
        return hex;
    }
    // A structure: its type says what it is. Appended, not added: GCC 12 at -O3
    // misreads `"(" + text` as an overlapping copy (-Wrestrict).
    default: return std::string("(").append(UaTypeName(type)).append(")");
    }
}

// One element into a VARIANT of VarTypeOf(type).
void ElementToVariant(const UA_DataType* type, const void* data, VARIANT& out) {
    VariantInit(&out);
    V_VT(&out) = VarTypeOf(type);
    switch (V_VT(&out)) {
    case VT_BOOL: V_BOOL(&out) = *static_cast<const UA_Boolean*>(data) ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_I1: V_I1(&out) = static_cast<CHAR>(*static_cast<const UA_SByte*>(data)); break;
    case VT_UI1: V_UI1(&out) = *static_cast<const UA_Byte*>(data); break;
    case VT_I2: V_I2(&out) = *static_cast<const UA_Int16*>(data); break;
    case VT_UI2: V_UI2(&out) = *static_cast<const UA_UInt16*>(data); break;
    case VT_I4: V_I4(&out) = *static_cast<const UA_Int32*>(data); break;
    case VT_UI4: V_UI4(&out) = *static_cast<const UA_UInt32*>(data); break;
    case VT_I8: V_I8(&out) = *static_cast<const UA_Int64*>(data); break;
    case VT_UI8: V_UI8(&out) = *static_cast<const UA_UInt64*>(data); break;
    case VT_R4: V_R4(&out) = *static_cast<const UA_Float*>(data); break;
    case VT_R8: V_R8(&out) = *static_cast<const UA_Double*>(data); break;
    default: {
        const std::wstring text = FromUtf8(ElementText(type, data));
        V_BSTR(&out) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        break;
    }
    }
}

// "2024-05-01T12:34:56.789Z", as the tool prints times; a space may stand
// for the T, the fraction and the Z may be left out.
bool ParseIsoTime(const std::wstring& text, UA_DateTime& out) {
    size_t at = 0;
    auto number = [&](size_t digits, unsigned& value) {
        value = 0;
        for (size_t i = 0; i < digits; ++i, ++at) {
            if (at >= text.size() || text[at] < L'0' || text[at] > L'9') return false;
            value = value * 10 + static_cast<unsigned>(text[at] - L'0');
        }
        return true;
    };
    auto expect = [&](const wchar_t* any) {
        if (at >= text.size() || std::wcschr(any, text[at]) == nullptr) return false;
        ++at;
        return true;
    };
    unsigned year, month, day, hour, minute, second;
    if (!number(4, year) || !expect(L"-") || !number(2, month) || !expect(L"-") || !number(2, day) || !expect(L"T ") ||
        !number(2, hour) || !expect(L":") || !number(2, minute) || !expect(L":") || !number(2, second)) {
        return false;
    }
    unsigned long long fraction = 0;  // in 100 ns
    if (at < text.size() && text[at] == L'.') {
        ++at;
        unsigned long long scale = 1000000;
        const size_t first = at;
        for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at, scale /= 10) {
            fraction += static_cast<unsigned long long>(text[at] - L'0') * scale;
        }
        if (at == first) return false;
    }
    if (at < text.size() && text[at] == L'Z') ++at;
    if (at != text.size()) return false;
    SYSTEMTIME utc{};
    utc.wYear = static_cast<WORD>(year);
    utc.wMonth = static_cast<WORD>(month);
    utc.wDay = static_cast<WORD>(day);
    utc.wHour = static_cast<WORD>(hour);
    utc.wMinute = static_cast<WORD>(minute);
    utc.wSecond = static_cast<WORD>(second);
    FILETIME time;
    if (!SystemTimeToFileTime(&utc, &time)) return false;  // also refuses the 31st of April
    out = static_cast<UA_DateTime>((static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime) +
                                   fraction);
    return true;
}

// A date as OLE Automation reads it, taken as UTC.
bool ParseOleTime(const std::wstring& text, UA_DateTime& out) {
    VARIANT date;
    VariantInit(&date);
    if (FAILED(TextToValue(text, VT_DATE, date))) return false;
    SYSTEMTIME utc;
    FILETIME time;
    const bool ok = VariantTimeToSystemTime(V_DATE(&date), &utc) && SystemTimeToFileTime(&utc, &time);
    VariantClear(&date);
    if (ok)
        out = static_cast<UA_DateTime>(static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime);
    return ok;
}
}  // namespace

std::string UaStatusText(UA_StatusCode status) {
    const char* name = UA_StatusCode_name(status);
    std::string text;
    if (std::strcmp(name, "Unknown StatusCode") == 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status & 0xFFFF0000u));
        text = hex;
    } else {
        text = name;
    }
    // A data value's limit bits, as the DA quality shows them.
    static const char* const kLimits[4] = {nullptr, "low limited", "high limited", "constant"};
    if ((status & 0x0C00u) == UA_STATUSCODE_INFOTYPE_DATAVALUE) {
        if (const char* limit = kLimits[(status >> 8) & 3u]) text += std::string(", ") + limit;
    }
    return text;
}

std::string UaResultText(UA_StatusCode status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
    return UaStatusText(status) + " (" + hex + ")";
}

std::string UaTypeName(const UA_DataType* type, bool array) {
    if (type == nullptr) return "Empty";
    const std::string name = type->typeName != nullptr ? type->typeName : "Unknown";
    return array ? "Array of " + name : name;
}

void UaToVariant(const UA_Variant& value, VARIANT& out) {
    VariantInit(&out);
    if (value.type == nullptr) return;
    if (UA_Variant_isScalar(&value)) {
        ElementToVariant(value.type, value.data, out);
        return;
    }
    const VARTYPE element = VarTypeOf(value.type);
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, static_cast<ULONG>(value.arrayLength));
    if (array == nullptr) return;
    const auto* data = static_cast<const unsigned char*>(value.data);
    for (LONG i = 0; i < static_cast<LONG>(value.arrayLength); ++i) {
        VARIANT item;
        ElementToVariant(value.type, data + static_cast<size_t>(i) * value.type->memSize, item);
        // A BSTR element is the string itself; the others are the union's bytes.
        SafeArrayPutElement(array, &i, element == VT_BSTR ? static_cast<void*>(V_BSTR(&item)) : &V_UI8(&item));
        VariantClear(&item);
    }
    V_VT(&out) = static_cast<VARTYPE>(VT_ARRAY | element);
    V_ARRAY(&out) = array;
}

bool IsUaError(const UA_DataValue& value) {
    return !value.hasValue && value.hasStatus && UA_StatusCode_isBad(value.status);
}

std::string FormatUaRecord(WatchFormat format, const std::string& itemId, const UA_DataValue& value) {
    VARIANT shown;
    UaToVariant(value.value, shown);
    FILETIME time{};
    if (value.hasSourceTimestamp) {
        time = FileTimeOf(value.sourceTimestamp);
    } else if (value.hasServerTimestamp) {
        time = FileTimeOf(value.serverTimestamp);
    }
    const bool array = value.value.type != nullptr && !UA_Variant_isScalar(&value.value);
    const UA_StatusCode status = value.hasStatus ? value.status : UA_STATUSCODE_GOOD;
    std::string line =
        FormatColumns(format, itemId, shown, UaTypeName(value.value.type, array), UaStatusText(status), status, time);
    VariantClear(&shown);
    return line;
}

UA_StatusCode TextToUaValue(const std::wstring& text, const UA_DataType* type, UA_Variant& out) {
    UA_Variant_init(&out);
    // A node without a concrete type gets the text for the server to convert.
    if (type == nullptr) type = &UA_TYPES[UA_TYPES_STRING];
    switch (type->typeKind) {
    case UA_DATATYPEKIND_STRING: {
        const std::string utf8 = ToUtf8(text);
        UA_String value{utf8.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(utf8.data()))};
        return UA_Variant_setScalarCopy(&out, &value, type);
    }
    case UA_DATATYPEKIND_LOCALIZEDTEXT: {
        const std::string utf8 = ToUtf8(text);
        UA_LocalizedText value{UA_STRING_NULL,
                               {utf8.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(utf8.data()))}};
        return UA_Variant_setScalarCopy(&out, &value, type);
    }
    case UA_DATATYPEKIND_DATETIME: {
        UA_DateTime value = 0;
        if (!ParseIsoTime(text, value) && !ParseOleTime(text, value)) return UA_STATUSCODE_BADTYPEMISMATCH;
        return UA_Variant_setScalarCopy(&out, &value, type);
    }
    default: break;
    }
    const VARTYPE vt = VarTypeOf(type);
    if (vt == VT_BSTR) return UA_STATUSCODE_BADTYPEMISMATCH;  // no text form known
    VARIANT value;
    VariantInit(&value);
    const HRESULT hr = TextToValue(text, vt, value);
    if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? UA_STATUSCODE_BADOUTOFRANGE : UA_STATUSCODE_BADTYPEMISMATCH;
    const UA_Boolean flag = vt == VT_BOOL && V_BOOL(&value) != VARIANT_FALSE;
    // A subtype (Duration, an enumeration) keeps its own type: it is laid out as its base.
    const void* data = vt == VT_BOOL ? static_cast<const void*>(&flag) : static_cast<const void*>(&V_UI8(&value));
    return UA_Variant_setScalarCopy(&out, data, type);
}
