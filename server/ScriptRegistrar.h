#pragma once
// The platform's registrar component, which applies registration scripts
// (REGISTRY resources in the .rgs language) and removes what they wrote.
#include <windows.h>
#include <objbase.h>
#include <string>

// IRegistrar of the platform registrar component, as its type library lays it out.
struct IRegistrar : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR resFileName, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR resFileName, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR resFileName, UINT id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR resFileName, UINT id, LPCOLESTR type) = 0;
};

inline constexpr CLSID CLSID_PlatformRegistrar = {
    0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
inline constexpr IID IID_PlatformIRegistrar = {
    0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

// Applies the scripts embedded in one module. Every script sees the
// replacements MODULE (the module's short path), CLSID and APPID (the
// server's CLSID in braces).
class ScriptRegistrar {
public:
    explicit ScriptRegistrar(std::wstring modulePath);
    ~ScriptRegistrar();
    ScriptRegistrar(const ScriptRegistrar&) = delete;
    ScriptRegistrar& operator=(const ScriptRegistrar&) = delete;

    HRESULT Register(UINT scriptId);
    HRESULT Unregister(UINT scriptId);

    // The text that stands for %MODULE%: the short form of the path, so that
    // the command COM runs has no blanks; quoted should it still have any.
    static std::wstring ModuleReplacement(const std::wstring& modulePath);

private:
    HRESULT Prepare();

    std::wstring m_modulePath;
    IRegistrar* m_registrar = nullptr;
    bool m_prepared = false;
    HRESULT m_prepareResult = E_FAIL;
};
