#include "ResultText.h"

#include <olectl.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <string>

#include "OpcConstants.h"
#include "TaskMem.h"
#include "Text.h"

namespace {
constexpr LCID kLocales[] = {LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT, LOCALE_NEUTRAL, 0x0409};

struct ResultText {
    HRESULT code;
    const wchar_t* text;
};

// Every OPC and connection-point code the server's objects return.
constexpr ResultText kResultTexts[] = {
    {OPC_E_INVALIDHANDLE, L"The handle is not valid for this object."},
    {OPC_E_BADTYPE, L"The value cannot be converted between the requested and the canonical data type."},
    {OPC_E_PUBLIC, L"The operation is not allowed on a public group."},
    {OPC_E_BADRIGHTS, L"The item's access rights do not allow this operation."},
    {OPC_E_UNKNOWNITEMID, L"No item with this item ID exists in the server's address space."},
    {OPC_E_INVALIDITEMID, L"The item ID is not well formed."},
    {OPC_E_INVALIDFILTER, L"The filter string is not valid."},
    {OPC_E_UNKNOWNPATH, L"The access path is not known to the server."},
    {OPC_E_RANGE, L"The value is out of range."},
    {OPC_E_DUPLICATENAME, L"This connection already has a group of that name."},
    {OPC_S_UNSUPPORTEDRATE,
     L"The requested update rate is not supported; the server chose the nearest rate it offers."},
    {OPC_S_CLAMP, L"The value was accepted but clamped to the item's limits."},
    {OPC_S_INUSE, L"The object is still in use by references that have not been released."},
    {OPC_E_INVALIDCONFIGFILE, L"The server's configuration file is not in a valid format."},
    {OPC_E_NOTFOUND, L"The requested object was not found."},
    {OPC_E_INVALID_PID, L"The property ID is not valid for this item."},
    {OPC_E_DEADBANDNOTSET, L"The item has no deadband of its own."},
    {OPC_E_DEADBANDNOTSUPPORTED, L"The item does not support a deadband: it is not an analog item."},
    {OPC_E_NOBUFFERING, L"The server does not buffer the values of this item."},
    {OPC_E_INVALIDCONTINUATIONPOINT, L"The continuation point is not valid."},
    {OPC_S_DATAQUEUEOVERFLOW, L"Not every change was kept: the item's buffer overflowed."},
    {OPC_E_RATENOTSET, L"The item has no sampling rate of its own."},
    {OPC_E_NOTSUPPORTED, L"The server does not support writing the quality or the timestamp."},
    {CONNECT_E_NOCONNECTION, L"There is no connection with this cookie or the object has no callback connection."},
    {CONNECT_E_ADVISELIMIT, L"The connection point already has as many connections as it allows."},
    {CONNECT_E_CANNOTCONNECT, L"The object is not a sink of the interface this connection point calls."},
};

// The language the system's text is asked for; 0 lets the system choose.
LANGID LanguageOf(LCID locale) { return locale == 0x0409 ? LANGIDFROMLCID(locale) : 0; }

LPWSTR SystemText(HRESULT code, LCID locale) noexcept {
    try {
        std::wstring text = SystemMessage(static_cast<DWORD>(code), true, LanguageOf(locale));
        if (text.empty() && LanguageOf(locale) != 0) text = SystemMessage(static_cast<DWORD>(code), true);
        return text.empty() ? nullptr : TaskStrDup(text);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

std::span<const LCID> AvailableLocales() noexcept { return kLocales; }

bool IsAvailableLocale(LCID locale) noexcept {
    return std::find(std::begin(kLocales), std::end(kLocales), locale) != std::end(kLocales);
}

const wchar_t* OpcResultText(HRESULT code) noexcept {
    for (const ResultText& entry : kResultTexts) {
        if (entry.code == code) return entry.text;
    }
    return nullptr;
}

HRESULT ErrorString(HRESULT code, LCID locale, LPWSTR* ppString) {
    if (ppString == nullptr) return E_INVALIDARG;
    *ppString = nullptr;
    if (const wchar_t* own = OpcResultText(code)) {
        *ppString = TaskStrDup(own);
        return *ppString != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    *ppString = SystemText(code, locale);
    return *ppString != nullptr ? S_OK : E_INVALIDARG;
}
