// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaMapping.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "OpcConstants.h"
#include "Text.h"

namespace {
// Days from 1601-01-01 (the epoch of FILETIME and UA DateTime) to 1899-12-30 (DATE's).
constexpr double kDateEpochDays = 109205.0;
constexpr double kTicksPerDay = 864000000000.0;
// A DATE holds the years 100 to 9999 only: these bound it, both excluded.
constexpr double kBeforeFirstDate = -657435.0;
constexpr double kAfterLastDate = 2958466.0;

// UA's limit bits, and the InfoType that says they are there.
constexpr UA_StatusCode kInfoTypeDataValue = 0x00000400;
constexpr UA_StatusCode kLimitLow = 0x00000100;
constexpr UA_StatusCode kLimitHigh = 0x00000200;

UA_DateTime DateTimeOfDate(DATE date) {
    // A negative DATE counts whole days back but its fraction forward.
    const double whole = std::trunc(date);
    const double linear = whole + std::fabs(date - whole);
    return static_cast<UA_DateTime>(std::llround((linear + kDateEpochDays) * kTicksPerDay));
}

DATE DateOfDateTime(UA_DateTime time) {
    const double linear = static_cast<double>(time) / kTicksPerDay - kDateEpochDays;
    if (linear >= 0) return linear;
    const double day = std::floor(linear);
    return day - (linear - day);
}

bool MakeUaString(std::wstring_view text, UA_String& out) {
    const std::string utf8 = ToUtf8(text);
    out = UA_STRING_NULL;
    if (utf8.empty()) {
        out.data = static_cast<UA_Byte*>(UA_EMPTY_ARRAY_SENTINEL);
        return true;
    }
    out.data = static_cast<UA_Byte*>(UA_malloc(utf8.size()));
    if (out.data == nullptr) return false;
    std::memcpy(out.data, utf8.data(), utf8.size());
    out.length = utf8.size();
    return true;
}

// One element of `type` at `data` into its UA form at `target`.
bool ElementToUa(VARTYPE type, const void* data, void* target) {
    switch (type) {
    case VT_I1: *static_cast<UA_SByte*>(target) = *static_cast<const CHAR*>(data); return true;
    case VT_UI1: *static_cast<UA_Byte*>(target) = *static_cast<const BYTE*>(data); return true;
    case VT_I2: *static_cast<UA_Int16*>(target) = *static_cast<const SHORT*>(data); return true;
    case VT_UI2: *static_cast<UA_UInt16*>(target) = *static_cast<const USHORT*>(data); return true;
    case VT_I4:
    case VT_INT: *static_cast<UA_Int32*>(target) = *static_cast<const LONG*>(data); return true;
    case VT_UI4:
    case VT_UINT: *static_cast<UA_UInt32*>(target) = *static_cast<const ULONG*>(data); return true;
    case VT_I8: *static_cast<UA_Int64*>(target) = *static_cast<const LONGLONG*>(data); return true;
    case VT_UI8: *static_cast<UA_UInt64*>(target) = *static_cast<const ULONGLONG*>(data); return true;
    case VT_R4: *static_cast<UA_Float*>(target) = *static_cast<const FLOAT*>(data); return true;
    case VT_R8: *static_cast<UA_Double*>(target) = *static_cast<const DOUBLE*>(data); return true;
    case VT_BOOL:
        *static_cast<UA_Boolean*>(target) = *static_cast<const VARIANT_BOOL*>(data) != VARIANT_FALSE;
        return true;
    case VT_DATE: *static_cast<UA_DateTime*>(target) = DateTimeOfDate(*static_cast<const DATE*>(data)); return true;
    case VT_BSTR: {
        const BSTR text = *static_cast<const BSTR*>(data);
        return MakeUaString(std::wstring_view(text != nullptr ? text : L"", SysStringLen(text)),
                            *static_cast<UA_String*>(target));
    }
    default: return false;
    }
}

// One UA element into a VARIANT of the matching type.
HRESULT ElementFromUa(const UA_DataType* type, const void* data, VARIANT& out) {
    VariantInit(&out);
    switch (type->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN:
        V_VT(&out) = VT_BOOL;
        V_BOOL(&out) = *static_cast<const UA_Boolean*>(data) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    case UA_DATATYPEKIND_SBYTE:
        V_VT(&out) = VT_I1;
        V_I1(&out) = *static_cast<const UA_SByte*>(data);
        return S_OK;
    case UA_DATATYPEKIND_BYTE:
        V_VT(&out) = VT_UI1;
        V_UI1(&out) = *static_cast<const UA_Byte*>(data);
        return S_OK;
    case UA_DATATYPEKIND_INT16:
        V_VT(&out) = VT_I2;
        V_I2(&out) = *static_cast<const UA_Int16*>(data);
        return S_OK;
    case UA_DATATYPEKIND_UINT16:
        V_VT(&out) = VT_UI2;
        V_UI2(&out) = *static_cast<const UA_UInt16*>(data);
        return S_OK;
    case UA_DATATYPEKIND_INT32:
        V_VT(&out) = VT_I4;
        V_I4(&out) = *static_cast<const UA_Int32*>(data);
        return S_OK;
    case UA_DATATYPEKIND_UINT32:
        V_VT(&out) = VT_UI4;
        V_UI4(&out) = *static_cast<const UA_UInt32*>(data);
        return S_OK;
    case UA_DATATYPEKIND_INT64:
        V_VT(&out) = VT_I8;
        V_I8(&out) = *static_cast<const UA_Int64*>(data);
        return S_OK;
    case UA_DATATYPEKIND_UINT64:
        V_VT(&out) = VT_UI8;
        V_UI8(&out) = *static_cast<const UA_UInt64*>(data);
        return S_OK;
    case UA_DATATYPEKIND_FLOAT:
        V_VT(&out) = VT_R4;
        V_R4(&out) = *static_cast<const UA_Float*>(data);
        return S_OK;
    case UA_DATATYPEKIND_DOUBLE:
        V_VT(&out) = VT_R8;
        V_R8(&out) = *static_cast<const UA_Double*>(data);
        return S_OK;
    case UA_DATATYPEKIND_DATETIME: {
        const DATE date = DateOfDateTime(*static_cast<const UA_DateTime*>(data));
        if (!(date > kBeforeFirstDate && date < kAfterLastDate)) return DISP_E_OVERFLOW;
        V_VT(&out) = VT_DATE;
        V_DATE(&out) = date;
        return S_OK;
    }
    case UA_DATATYPEKIND_STRING: {
        const UA_String& text = *static_cast<const UA_String*>(data);
        const std::wstring wide = TextOf(text);
        // A text with a NUL in it would be cut short by every DA client.
        if (wide.find(L'\0') != std::wstring::npos) return DISP_E_TYPEMISMATCH;
        V_BSTR(&out) = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (V_BSTR(&out) == nullptr) return E_OUTOFMEMORY;
        V_VT(&out) = VT_BSTR;
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

VARTYPE VartypeOfUa(const UA_DataType* type) {
    VARIANT probe;
    static const UA_Byte zeros[16] = {};
    if (type->typeKind == UA_DATATYPEKIND_STRING) return VT_BSTR;
    if (FAILED(ElementFromUa(type, zeros, probe))) return VT_EMPTY;
    return V_VT(&probe);
}
}  // namespace

std::wstring TextOf(const UA_String& text) {
    if (text.length == 0 || text.data == nullptr) return {};
    return FromUtf8(std::string_view(reinterpret_cast<const char*>(text.data), text.length));
}

UA_StatusCode StatusOfQuality(WORD quality) noexcept {
    UA_StatusCode status;
    switch (quality & OPC_STATUS_MASK) {
    case OPC_QUALITY_GOOD: status = UA_STATUSCODE_GOOD; break;
    case OPC_QUALITY_LOCAL_OVERRIDE: status = UA_STATUSCODE_GOODLOCALOVERRIDE; break;
    case OPC_QUALITY_UNCERTAIN: status = UA_STATUSCODE_UNCERTAIN; break;
    case OPC_QUALITY_LAST_USABLE: status = UA_STATUSCODE_UNCERTAINLASTUSABLEVALUE; break;
    case OPC_QUALITY_SENSOR_CAL: status = UA_STATUSCODE_UNCERTAINSENSORNOTACCURATE; break;
    case OPC_QUALITY_EGU_EXCEEDED: status = UA_STATUSCODE_UNCERTAINENGINEERINGUNITSEXCEEDED; break;
    case OPC_QUALITY_SUB_NORMAL: status = UA_STATUSCODE_UNCERTAINSUBNORMAL; break;
    case OPC_QUALITY_BAD: status = UA_STATUSCODE_BAD; break;
    case OPC_QUALITY_CONFIG_ERROR: status = UA_STATUSCODE_BADCONFIGURATIONERROR; break;
    case OPC_QUALITY_NOT_CONNECTED: status = UA_STATUSCODE_BADNOTCONNECTED; break;
    case OPC_QUALITY_DEVICE_FAILURE: status = UA_STATUSCODE_BADDEVICEFAILURE; break;
    case OPC_QUALITY_SENSOR_FAILURE: status = UA_STATUSCODE_BADSENSORFAILURE; break;
    // The mapping's table; a wrapped DA server's clients expect it.
    case OPC_QUALITY_LAST_KNOWN: status = UA_STATUSCODE_BADOUTOFSERVICE; break;
    case OPC_QUALITY_COMM_FAILURE: status = UA_STATUSCODE_BADNOCOMMUNICATION; break;
    case OPC_QUALITY_OUT_OF_SERVICE: status = UA_STATUSCODE_BADOUTOFSERVICE; break;
    case 0x20: status = UA_STATUSCODE_BADWAITINGFORINITIALDATA; break;
    default:
        // A sub-status UA has no name for keeps its severity.
        switch (quality & OPC_QUALITY_MASK) {
        case OPC_QUALITY_GOOD: status = UA_STATUSCODE_GOOD; break;
        case OPC_QUALITY_UNCERTAIN: status = UA_STATUSCODE_UNCERTAIN; break;
        default: status = UA_STATUSCODE_BAD; break;
        }
    }
    switch (quality & OPC_LIMIT_MASK) {
    case OPC_LIMIT_LOW: status |= kInfoTypeDataValue | kLimitLow; break;
    case OPC_LIMIT_HIGH: status |= kInfoTypeDataValue | kLimitHigh; break;
    case OPC_LIMIT_CONST: status |= kInfoTypeDataValue | kLimitLow | kLimitHigh; break;
    default: break;
    }
    return status;
}

WORD QualityOfStatus(UA_StatusCode status) noexcept {
    // Every value of a HistoryUpdate and every write of a status asks: the
    // words are ordered by status once.
    using Entry = std::pair<UA_StatusCode, WORD>;
    static const std::array<Entry, 256> byStatus = [] {
        std::array<Entry, 256> table;
        for (unsigned quality = 0; quality < table.size(); ++quality) {
            table[quality] = {StatusOfQuality(static_cast<WORD>(quality)), static_cast<WORD>(quality)};
        }
        std::sort(table.begin(), table.end());
        return table;
    }();
    const auto found = std::lower_bound(byStatus.begin(), byStatus.end(), Entry{status, 0});
    if (found != byStatus.end() && found->first == status) return found->second;
    if (UA_StatusCode_isGood(status)) return OPC_QUALITY_GOOD;
    if (UA_StatusCode_isUncertain(status)) return OPC_QUALITY_UNCERTAIN;
    return OPC_QUALITY_BAD;
}

const UA_DataType* UaTypeOf(VARTYPE type) noexcept {
    switch (type & ~VT_ARRAY) {
    case VT_I1: return &UA_TYPES[UA_TYPES_SBYTE];
    case VT_UI1: return &UA_TYPES[UA_TYPES_BYTE];
    case VT_I2: return &UA_TYPES[UA_TYPES_INT16];
    case VT_UI2: return &UA_TYPES[UA_TYPES_UINT16];
    case VT_I4:
    case VT_INT: return &UA_TYPES[UA_TYPES_INT32];
    case VT_UI4:
    case VT_UINT: return &UA_TYPES[UA_TYPES_UINT32];
    case VT_I8: return &UA_TYPES[UA_TYPES_INT64];
    case VT_UI8: return &UA_TYPES[UA_TYPES_UINT64];
    case VT_R4: return &UA_TYPES[UA_TYPES_FLOAT];
    case VT_R8: return &UA_TYPES[UA_TYPES_DOUBLE];
    case VT_BOOL: return &UA_TYPES[UA_TYPES_BOOLEAN];
    case VT_DATE: return &UA_TYPES[UA_TYPES_DATETIME];
    case VT_BSTR:
    case VT_CY:
    case VT_DECIMAL: return &UA_TYPES[UA_TYPES_STRING];
    default: return nullptr;
    }
}

UA_NodeId DataTypeIdOf(VARTYPE type) noexcept {
    const UA_DataType* ua = UaTypeOf(type);
    return ua != nullptr ? ua->typeId : UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATATYPE);
}

UA_Int32 ValueRankOf(VARTYPE type) noexcept {
    return (type & VT_ARRAY) != 0 ? UA_VALUERANK_ONE_DIMENSION : UA_VALUERANK_SCALAR;
}

bool ToUaVariant(const VARIANT& value, UA_Variant& out) {
    UA_Variant_init(&out);
    const VARTYPE vt = V_VT(&value);
    if ((vt & VT_ARRAY) != 0) {
        const VARTYPE element = vt & ~VT_ARRAY;
        const UA_DataType* type = UaTypeOf(element);
        SAFEARRAY* array = V_ARRAY(&value);
        if (type == nullptr || element == VT_CY || element == VT_DECIMAL || array == nullptr ||
            SafeArrayGetDim(array) != 1) {
            return false;
        }
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, 1, &low);
        SafeArrayGetUBound(array, 1, &high);
        const size_t count = high >= low ? static_cast<size_t>(high - low) + 1 : 0;
        void* target = UA_Array_new(count, type);
        if (target == nullptr && count > 0) return false;
        const BYTE* source = nullptr;
        if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(const_cast<BYTE**>(&source))))) {
            UA_Array_delete(target, count, type);
            return false;
        }
        bool ok = true;
        for (size_t i = 0; ok && i < count; ++i) {
            ok = ElementToUa(element, source + i * array->cbElements, static_cast<BYTE*>(target) + i * type->memSize);
        }
        SafeArrayUnaccessData(array);
        if (!ok) {
            UA_Array_delete(target, count, type);
            return false;
        }
        UA_Variant_setArray(&out, target, count, type);
        return true;
    }
    if (vt == VT_CY || vt == VT_DECIMAL) {
        Variant text;
        if (FAILED(VariantChangeType(text.Get(), const_cast<VARIANT*>(&value), 0, VT_BSTR))) return false;
        return ToUaVariant(text.Ref(), out);
    }
    const UA_DataType* type = UaTypeOf(vt);
    if (type == nullptr) return false;
    void* target = UA_new(type);
    if (target == nullptr) return false;
    if (!ElementToUa(vt, &V_UI1(&value), target)) {
        UA_delete(target, type);
        return false;
    }
    UA_Variant_setScalar(&out, target, type);
    return true;
}

HRESULT FromUaVariant(const UA_Variant& value, Variant& out) {
    out.Clear();
    if (value.type == nullptr) return DISP_E_TYPEMISMATCH;
    if (UA_Variant_isScalar(&value)) {
        VARIANT element;
        const HRESULT result = ElementFromUa(value.type, value.data, element);
        if (SUCCEEDED(result)) out = Variant::Adopt(element);
        return result;
    }
    if (value.arrayDimensionsSize > 1) return DISP_E_TYPEMISMATCH;
    const VARTYPE element = VartypeOfUa(value.type);
    if (element == VT_EMPTY || value.arrayLength > 0x7FFFFFFF) return DISP_E_TYPEMISMATCH;
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, static_cast<ULONG>(value.arrayLength));
    if (array == nullptr) return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (size_t i = 0; SUCCEEDED(result) && i < value.arrayLength; ++i) {
        VARIANT item;
        result = ElementFromUa(value.type, static_cast<const BYTE*>(value.data) + i * value.type->memSize, item);
        if (FAILED(result)) break;
        LONG index = static_cast<LONG>(i);
        result = SafeArrayPutElement(
            array, &index, element == VT_BSTR ? static_cast<void*>(V_BSTR(&item)) : static_cast<void*>(&V_UI1(&item)));
        VariantClear(&item);
    }
    if (FAILED(result)) {
        SafeArrayDestroy(array);
        return result;
    }
    VARIANT whole;
    VariantInit(&whole);
    V_VT(&whole) = static_cast<VARTYPE>(VT_ARRAY | element);
    V_ARRAY(&whole) = array;
    out = Variant::Adopt(whole);
    return S_OK;
}

UA_StatusCode StatusOfWriteResult(HRESULT result) noexcept {
    if (result == OPC_S_CLAMP) return UA_STATUSCODE_GOODCLAMPED;
    if (SUCCEEDED(result)) return UA_STATUSCODE_GOOD;
    switch (result) {
    case OPC_E_BADRIGHTS: return UA_STATUSCODE_BADNOTWRITABLE;
    case DISP_E_TYPEMISMATCH:
    case OPC_E_BADTYPE: return UA_STATUSCODE_BADTYPEMISMATCH;
    case OPC_E_RANGE:
    case DISP_E_OVERFLOW: return UA_STATUSCODE_BADOUTOFRANGE;
    case E_OUTOFMEMORY: return UA_STATUSCODE_BADOUTOFMEMORY;
    case OPC_E_INVALIDHANDLE:
    case OPC_E_UNKNOWNITEMID: return UA_STATUSCODE_BADNODEIDUNKNOWN;
    case OPC_E_INVALIDITEMID: return UA_STATUSCODE_BADNODEIDINVALID;
    // A quality or timestamp the tag may not take (the option off, a control
    // item), and a source timestamp before 1601.
    case OPC_E_NOTSUPPORTED: return UA_STATUSCODE_BADWRITENOTSUPPORTED;
    case E_INVALIDARG: return UA_STATUSCODE_BADOUTOFRANGE;
    default: return UA_STATUSCODE_BADINTERNALERROR;
    }
}
