#include "ItemProperties.h"

#include <cmath>
#include <cstdio>

#include "ErrorText.h"
#include "OpcConstants.h"
#include "Text.h"
#include "ValueText.h"

namespace {
// An OLE date (days since 1899-12-30) as FILETIME ticks (100 ns since 1601).
FILETIME DateToFileTime(DATE date) {
    constexpr double kDaysFrom1601 = 109205.0;
    constexpr double kTicksPerDay = 864000000000.0;
    const double ticks = std::round((date + kDaysFrom1601) * kTicksPerDay);
    const ULONGLONG whole = ticks > 0 ? static_cast<ULONGLONG>(ticks) : 0;
    return FILETIME{static_cast<DWORD>(whole), static_cast<DWORD>(whole >> 32)};
}

bool AsLong(const VARIANT& value, LONG& number) {
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, VT_I4))) return false;
    number = V_I4(&converted);
    return true;
}

// What the number of a standard property stands for; "" for others.
std::string Meaning(DWORD id, const VARIANT& value) {
    LONG number = 0;
    if ((V_VT(&value) & VT_ARRAY) != 0 || !AsLong(value, number)) return "";
    switch (id) {
    case OPC_PROPERTY_DATATYPE: return TypeName(static_cast<VARTYPE>(number));
    case OPC_PROPERTY_QUALITY: return QualityText(static_cast<WORD>(number));
    case OPC_PROPERTY_ACCESS_RIGHTS: {
        static const char* const kRights[4] = {"no access", "readable", "writable", "readable, writable"};
        return kRights[number & 3];
    }
    case OPC_PROPERTY_EU_TYPE: {
        static const char* const kKinds[3] = {"no EU", "analog", "enumerated"};
        return number >= 0 && number < 3 ? kKinds[number] : "";
    }
    default: return "";
    }
}

void FreeListed(DWORD count, DWORD* ids, LPWSTR* descriptions, VARTYPE* types) {
    for (DWORD i = 0; descriptions != nullptr && i < count; ++i) CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
}
}  // namespace

std::string PropertyLine(DWORD id, const std::wstring& description, VARTYPE listedType, const VARIANT& value,
                         HRESULT error) {
    char number[16];
    std::snprintf(number, sizeof number, "%6lu  ", static_cast<unsigned long>(id));
    std::string line = number + (description.empty() ? std::string("(no description)") : ToUtf8(description));
    if (FAILED(error)) return line + ": error: " + ResultText(error);
    const VARTYPE type = V_VT(&value);
    // A property without a value (EU info of an item without units).
    if (type == VT_EMPTY) return line + " = (empty)";
    std::string text = type == VT_DATE ? TimestampText(DateToFileTime(V_DATE(&value))) : ValueText(value);
    const std::string meaning = Meaning(id, value);
    if (!meaning.empty()) text += " (" + meaning + ")";
    line += " = " + text + "  " + TypeName(type);
    if (listedType != type && listedType != VT_VARIANT && listedType != VT_EMPTY) {
        line += " (listed as " + TypeName(listedType) + ")";
    }
    return line;
}

HRESULT PropertyLines(IOPCItemProperties* properties, const std::wstring& itemId, std::vector<std::string>& lines) {
    lines.clear();
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    LPWSTR item = const_cast<LPWSTR>(itemId.c_str());
    HRESULT hr = properties->QueryAvailableProperties(item, &count, &ids, &descriptions, &types);
    if (FAILED(hr) || count == 0 || ids == nullptr) {
        FreeListed(count, ids, descriptions, types);
        return FAILED(hr) ? hr : S_OK;
    }
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    hr = properties->GetItemProperties(item, count, ids, &values, &errors);
    if (SUCCEEDED(hr) || errors != nullptr) {
        bool allGood = true;
        VARIANT empty;
        VariantInit(&empty);
        for (DWORD i = 0; i < count; ++i) {
            const HRESULT error = errors != nullptr ? errors[i] : E_FAIL;
            allGood = allGood && SUCCEEDED(error);
            const LPCWSTR description = descriptions != nullptr && descriptions[i] != nullptr ? descriptions[i] : L"";
            lines.push_back(PropertyLine(ids[i], description,
                                         types != nullptr ? types[i] : static_cast<VARTYPE>(VT_EMPTY),
                                         values != nullptr && SUCCEEDED(error) ? values[i] : empty, error));
            if (values != nullptr) VariantClear(&values[i]);
        }
        hr = allGood ? S_OK : S_FALSE;
    }
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    FreeListed(count, ids, descriptions, types);
    return hr;
}
