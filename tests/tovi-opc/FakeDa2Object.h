#pragma once
// An in-process stand-in for a DA 2.0 group, for the tool's parts: it offers
// or refuses each interface as told, records what arrived and answers reads
// with values made from the handles.
#include <ocidl.h>
#include <olectl.h>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ComObject.h"
#include "OpcDa.h"

struct IidLess {
    bool operator()(const IID& a, const IID& b) const { return std::memcmp(&a, &b, sizeof(IID)) < 0; }
};
using IidSet = std::set<IID, IidLess>;

// How IOPCAsyncIO2::Read answers.
enum class Completion { Inside, Later, Never };

struct Da2Calls {
    int dataAdvises = 0, dataUnadvises = 0, callbackAdvises = 0, callbackUnadvises = 0, refreshes = 0, cancels = 0;
};

// Made with one reference; exactly IUnknown and the listed interfaces are answered.
class FakeDa2Object : public ComObject<IOPCAsyncIO2, IConnectionPointContainer, IConnectionPoint, IDataObject> {
public:
    FakeDa2Object(Da2Calls* calls, IidSet refused, HRESULT adviseResult = S_OK,
                  Completion completion = Completion::Inside)
        : ComObject(1),
          m_calls(calls),
          m_refused(std::move(refused)),
          m_adviseResult(adviseResult),
          m_completion(completion) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    // The connected callback's OnDataChange, as a change would call it.
    HRESULT SendChange(DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME* times,
                       HRESULT* errors);

    // IOPCAsyncIO2: handle 0 is invalid; the others read as their number in a double.
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP Refresh2(OPCDATASOURCE, DWORD, DWORD* pdwCancelID) override {
        *pdwCancelID = ++m_calls->refreshes;
        return S_OK;
    }
    STDMETHODIMP Cancel2(DWORD) override {
        ++m_calls->cancels;
        return S_OK;
    }
    STDMETHODIMP SetEnable(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetEnable(BOOL*) override { return E_NOTIMPL; }
    // IConnectionPointContainer, with itself as the one point
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }
    // IDataObject: only the subscription
    STDMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD* pdwConnection) override {
        *pdwConnection = ++m_calls->dataAdvises;
        return S_OK;
    }
    STDMETHODIMP DUnadvise(DWORD) override {
        ++m_calls->dataUnadvises;
        return S_OK;
    }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

protected:
    ~FakeDa2Object() override;

private:
    Da2Calls* m_calls;
    IidSet m_refused;
    HRESULT m_adviseResult;
    Completion m_completion;
    IOPCDataCallback* m_callback = nullptr;
    std::thread m_later;
};
