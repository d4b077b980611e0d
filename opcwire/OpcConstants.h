#pragma once
// OPC Data Access result codes, quality bits and stream format names.  The
// interfaces, structures and enumerations are in the generated OpcDa.h.
#include <windows.h>

// Result codes (FACILITY_ITF).
inline constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001UL);
inline constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004UL);
inline constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005UL);
inline constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006UL);
inline constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007UL);
inline constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008UL);
inline constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009UL);
inline constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000AUL);
inline constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000BUL);
inline constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000CUL);
inline constexpr HRESULT OPC_S_UNSUPPORTEDRATE = static_cast<HRESULT>(0x0004000DUL);
inline constexpr HRESULT OPC_S_CLAMP = static_cast<HRESULT>(0x0004000EUL);
inline constexpr HRESULT OPC_S_INUSE = static_cast<HRESULT>(0x0004000FUL);
inline constexpr HRESULT OPC_E_INVALIDCONFIGFILE = static_cast<HRESULT>(0xC0040010UL);
inline constexpr HRESULT OPC_E_NOTFOUND = static_cast<HRESULT>(0xC0040011UL);
inline constexpr HRESULT OPC_E_INVALID_PID = static_cast<HRESULT>(0xC0040203UL);
// Added by Data Access 3.0.
inline constexpr HRESULT OPC_E_DEADBANDNOTSET = static_cast<HRESULT>(0xC0040400UL);
inline constexpr HRESULT OPC_E_DEADBANDNOTSUPPORTED = static_cast<HRESULT>(0xC0040401UL);
inline constexpr HRESULT OPC_E_NOBUFFERING = static_cast<HRESULT>(0xC0040402UL);
inline constexpr HRESULT OPC_E_INVALIDCONTINUATIONPOINT = static_cast<HRESULT>(0xC0040403UL);
inline constexpr HRESULT OPC_S_DATAQUEUEOVERFLOW = static_cast<HRESULT>(0x00040404UL);
inline constexpr HRESULT OPC_E_RATENOTSET = static_cast<HRESULT>(0xC0040405UL);
inline constexpr HRESULT OPC_E_NOTSUPPORTED = static_cast<HRESULT>(0xC0040406UL);

// Item property ids: the standard's, and this server's own from 5000.
inline constexpr DWORD OPC_PROPERTY_DATATYPE = 1;
inline constexpr DWORD OPC_PROPERTY_VALUE = 2;
inline constexpr DWORD OPC_PROPERTY_QUALITY = 3;
inline constexpr DWORD OPC_PROPERTY_TIMESTAMP = 4;
inline constexpr DWORD OPC_PROPERTY_ACCESS_RIGHTS = 5;
inline constexpr DWORD OPC_PROPERTY_SCAN_RATE = 6;
inline constexpr DWORD OPC_PROPERTY_EU_TYPE = 7;
inline constexpr DWORD OPC_PROPERTY_EU_INFO = 8;
inline constexpr DWORD OPC_PROPERTY_EU_UNITS = 100;
inline constexpr DWORD OPC_PROPERTY_DESCRIPTION = 101;
inline constexpr DWORD OPC_PROPERTY_HIGH_EU = 102;
inline constexpr DWORD OPC_PROPERTY_LOW_EU = 103;
inline constexpr DWORD OPC_PROPERTY_HIGH_IR = 104;
inline constexpr DWORD OPC_PROPERTY_LOW_IR = 105;
inline constexpr DWORD OPC_PROPERTY_VENDOR_FIRST = 5000;

// Quality word: quality (bits 7-6), substatus (bits 5-2), limit (bits 1-0).
inline constexpr WORD OPC_QUALITY_MASK = 0xC0;
inline constexpr WORD OPC_STATUS_MASK = 0xFC;
inline constexpr WORD OPC_LIMIT_MASK = 0x03;

inline constexpr WORD OPC_QUALITY_BAD = 0x00;
inline constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
inline constexpr WORD OPC_QUALITY_GOOD = 0xC0;

inline constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
inline constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
inline constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
inline constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
inline constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
inline constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
inline constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
inline constexpr WORD OPC_QUALITY_WAITING_FOR_INITIAL_DATA = 0x20;

inline constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
inline constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
inline constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
inline constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;

inline constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;

inline constexpr WORD OPC_LIMIT_OK = 0x00;
inline constexpr WORD OPC_LIMIT_LOW = 0x01;
inline constexpr WORD OPC_LIMIT_HIGH = 0x02;
inline constexpr WORD OPC_LIMIT_CONST = 0x03;

// Clipboard format names of the data-change and write-complete streams.
inline constexpr wchar_t OPC_STREAM_FORMAT_DATA[] = L"OPCSTMFORMATDATA";
inline constexpr wchar_t OPC_STREAM_FORMAT_DATATIME[] = L"OPCSTMFORMATDATATIME";
inline constexpr wchar_t OPC_STREAM_FORMAT_WRITECOMPLETE[] = L"OPCSTMFORMATWRITECOMPLETE";
