#pragma once
// The identity of the OPC server: chosen once and never changed, since OPC
// clients and registries out there keep these values.
#include <windows.h>
#include <guiddef.h>

// The server's CLSID, which is also its AppID.
inline constexpr GUID CLSID_ToviExplorerServer = {
    0xF2F1DF4B, 0x8AF2, 0x411F, {0xBD, 0x23, 0x63, 0x70, 0x97, 0x87, 0x6C, 0x20}};
inline constexpr wchar_t kServerClsidText[] = L"{F2F1DF4B-8AF2-411F-BD23-637097876C20}";

inline constexpr wchar_t kServerProgId[] = L"Zelkor.Tovi.1";
inline constexpr wchar_t kServerVersionIndependentProgId[] = L"Zelkor.Tovi";
inline constexpr wchar_t kServerDescription[] = L"Zelkor Tovi Explorer";
inline constexpr wchar_t kServerVendor[] = L"Zelkor Company";

// The proxy/stub DLL of the OPC interfaces, shipped beside the program.
inline constexpr wchar_t kInterfaceProxyFile[] = L"ToviExplorerPS.dll";

// The component categories of OPC Data Access 1.0 and 2.0 servers; the server is in both.
inline constexpr GUID kCategoryOpcDaServer10 = {
    0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
inline constexpr GUID kCategoryOpcDaServer20 = {
    0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
inline constexpr wchar_t kCategoryOpcDaServer10Text[] = L"{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}";
inline constexpr wchar_t kCategoryOpcDaServer20Text[] = L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";

// DA 3.0: the class is in it only while the program offers DA 3.0.
inline constexpr GUID kCategoryOpcDaServer30 = {
    0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}};
inline constexpr wchar_t kCategoryOpcDaServer30Text[] = L"{CC603642-66D7-48F1-B69A-B625E73652D7}";
