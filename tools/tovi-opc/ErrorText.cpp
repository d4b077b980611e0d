#include "ErrorText.h"

#include <cstdio>

#include <olectl.h>

#include "OpcConstants.h"
#include "Text.h"

namespace {
struct Known {
    HRESULT code;
    const char* name;
    const char* words;
};

// OPC's codes are FACILITY_ITF: the system table does not know them.
const Known kKnown[] = {
    {OPC_E_INVALIDHANDLE, "OPC_E_INVALIDHANDLE", "invalid handle"},
    {OPC_E_BADTYPE, "OPC_E_BADTYPE", "the server cannot convert between the value and the item's type"},
    {OPC_E_PUBLIC, "OPC_E_PUBLIC", "not allowed on a public group"},
    {OPC_E_BADRIGHTS, "OPC_E_BADRIGHTS", "bad rights: the item's access rights do not allow this"},
    {OPC_E_UNKNOWNITEMID, "OPC_E_UNKNOWNITEMID", "unknown item ID"},
    {OPC_E_INVALIDITEMID, "OPC_E_INVALIDITEMID", "invalid item ID"},
    {OPC_E_INVALIDFILTER, "OPC_E_INVALIDFILTER", "invalid filter"},
    {OPC_E_UNKNOWNPATH, "OPC_E_UNKNOWNPATH", "unknown access path"},
    {OPC_E_RANGE, "OPC_E_RANGE", "value out of range"},
    {OPC_E_DUPLICATENAME, "OPC_E_DUPLICATENAME", "duplicate name"},
    {OPC_S_UNSUPPORTEDRATE, "OPC_S_UNSUPPORTEDRATE", "the server uses another update rate"},
    {OPC_S_CLAMP, "OPC_S_CLAMP", "the value was clamped"},
    {OPC_S_INUSE, "OPC_S_INUSE", "in use"},
    {OPC_E_INVALIDCONFIGFILE, "OPC_E_INVALIDCONFIGFILE", "the server's configuration file is not valid"},
    {OPC_E_NOTFOUND, "OPC_E_NOTFOUND", "not found"},
    {OPC_E_INVALID_PID, "OPC_E_INVALID_PID", "the item has no such property"},
    {OPC_E_DEADBANDNOTSET, "OPC_E_DEADBANDNOTSET", "the item has no deadband of its own"},
    {OPC_E_DEADBANDNOTSUPPORTED, "OPC_E_DEADBANDNOTSUPPORTED", "the item takes no deadband"},
    {OPC_E_NOBUFFERING, "OPC_E_NOBUFFERING", "the server does not buffer the item's values"},
    {OPC_E_INVALIDCONTINUATIONPOINT, "OPC_E_INVALIDCONTINUATIONPOINT", "invalid continuation point"},
    {OPC_S_DATAQUEUEOVERFLOW, "OPC_S_DATAQUEUEOVERFLOW", "some changes were lost: the item's buffer overflowed"},
    {OPC_E_RATENOTSET, "OPC_E_RATENOTSET", "the item has no sampling rate of its own"},
    {OPC_E_NOTSUPPORTED, "OPC_E_NOTSUPPORTED", "not supported: the server does not write the quality or the timestamp"},
    {CONNECT_E_NOCONNECTION, "CONNECT_E_NOCONNECTION", "no callback is connected"},
    {CONNECT_E_ADVISELIMIT, "CONNECT_E_ADVISELIMIT", "the object takes no further callback"},
    {CONNECT_E_CANNOTCONNECT, "CONNECT_E_CANNOTCONNECT", "the object refused the callback"},
    {CO_E_CLASSSTRING, "CO_E_CLASSSTRING", "server not registered: no such ProgID or CLSID"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "server not registered"},
    {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE", "the server could not be started"},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED", "server died: the connection to it is lost"},
    {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), "RPC_S_SERVER_UNAVAILABLE", "server died: it is unavailable"},
    {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), "RPC_S_CALL_FAILED", "server died during the call"},
    {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE), "RPC_S_CALL_FAILED_DNE", "server died before the call"},
    {HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER), "RPC_X_NULL_REF_POINTER", "a required pointer was null"},
    {RPC_E_SERVERFAULT, "RPC_E_SERVERFAULT", "the server failed while handling the call"},
    {CO_E_OBJNOTCONNECTED, "CO_E_OBJNOTCONNECTED", "server died: the object is no longer connected"},
    {E_NOINTERFACE, "E_NOINTERFACE", "the server does not offer this interface"},
    {HRESULT_FROM_WIN32(ERROR_TIMEOUT), "ERROR_TIMEOUT", "no answer in time"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH", "the text is not a value of that type"},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW", "the value is out of the type's range"},
};

}  // namespace

std::string HexResult(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string ResultText(HRESULT hr) {
    for (const Known& known : kKnown) {
        if (known.code == hr) return std::string(known.words) + " (" + known.name + " " + HexResult(hr) + ")";
    }
    std::string words = ToUtf8(SystemMessage(static_cast<DWORD>(hr), false));
    if (words.empty()) words = SUCCEEDED(hr) ? "succeeded" : "failed";
    return words + " (" + HexResult(hr) + ")";
}

bool IsConnectionLost(HRESULT hr) {
    return hr == RPC_E_DISCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE) ||
           hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE;
}
