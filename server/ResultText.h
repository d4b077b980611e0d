#pragma once
// The texts of result codes for clients (IOPCCommon::GetErrorString and
// IOPCServer::GetErrorString), and the locales the server offers.
#include <windows.h>

#include <span>

// The locales a client may choose; the texts are the same in each.
std::span<const LCID> AvailableLocales() noexcept;
bool IsAvailableLocale(LCID locale) noexcept;

// The server's own text of an OPC or connection-point result code it can
// return, or null for any other code.
const wchar_t* OpcResultText(HRESULT code) noexcept;

// The text of `code` in task memory: the server's own, else the system's.
// E_INVALIDARG when nobody can explain the code, E_OUTOFMEMORY.
HRESULT ErrorString(HRESULT code, LCID locale, LPWSTR* ppString);
