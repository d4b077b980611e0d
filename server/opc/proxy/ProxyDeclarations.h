/* Forced into the generated proxy sources: rpcrt4 exports the IUnknown
 * proxies that every generated vtable starts with, but the mingw headers
 * declare them for C++ only. */
#pragma once
#include <objbase.h>

#ifdef __cplusplus
extern "C" {
#endif
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#ifdef __cplusplus
}
#endif
