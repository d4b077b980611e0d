#include "FakeDa2Object.h"

#include "OpcConstants.h"
#include "TaskMem.h"

FakeDa2Object::~FakeDa2Object() {
    if (m_later.joinable()) m_later.join();
    if (m_callback != nullptr) m_callback->Release();
}

STDMETHODIMP FakeDa2Object::QueryInterface(REFIID riid, void** ppv) {
    if (ppv != nullptr && m_refused.count(riid) != 0) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(riid, ppv);
}

HRESULT FakeDa2Object::SendChange(DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME* times,
                                  HRESULT* errors) {
    return m_callback == nullptr
               ? E_FAIL
               : m_callback->OnDataChange(0, 9, S_OK, S_FALSE, count, handles, values, qualities, times, errors);
}

STDMETHODIMP FakeDa2Object::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                                 HRESULT** ppErrors) {
    if (m_callback == nullptr) return CONNECT_E_NOCONNECTION;
    *pdwCancelID = 77;
    *ppErrors = TaskAllocArray<HRESULT>(dwCount);
    std::vector<OPCHANDLE> clients;
    for (DWORD i = 0; i < dwCount; ++i) {
        (*ppErrors)[i] = phServer[i] == 0 ? OPC_E_INVALIDHANDLE : S_OK;
        if (phServer[i] != 0) clients.push_back(phServer[i]);
    }
    if (clients.empty() || m_completion == Completion::Never) return clients.size() == dwCount ? S_OK : S_FALSE;
    // Client handle = server handle; the last item fails in the completion.
    auto complete = [this, clients](DWORD transaction, DWORD n) {
        std::vector<VARIANT> values(n);
        std::vector<WORD> qualities(n, 0xC0);
        std::vector<FILETIME> times(n, FILETIME{1, 0x01DA0000});
        std::vector<HRESULT> errors(n, S_OK);
        for (DWORD i = 0; i < n; ++i) {
            VariantInit(&values[i]);
            V_VT(&values[i]) = VT_R8;
            V_R8(&values[i]) = clients[i] + 0.5;
        }
        errors[n - 1] = OPC_E_BADRIGHTS;
        m_callback->OnReadComplete(transaction, 9, S_OK, S_FALSE, n, const_cast<OPCHANDLE*>(clients.data()),
                                   values.data(), qualities.data(), times.data(), errors.data());
    };
    const DWORD n = static_cast<DWORD>(clients.size());
    if (m_completion == Completion::Inside) {
        complete(dwTransactionID + 1, 1);  // someone else's transaction first
        complete(dwTransactionID, n);
    } else {
        m_later = std::thread([complete, dwTransactionID, n] {
            Sleep(100);
            complete(dwTransactionID, n);
        });
    }
    return clients.size() == dwCount ? S_OK : S_FALSE;
}

STDMETHODIMP FakeDa2Object::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    *ppCP = nullptr;
    if (riid != IID_IOPCDataCallback) return CONNECT_E_NOCONNECTION;
    return QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(ppCP));
}

STDMETHODIMP FakeDa2Object::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    ++m_calls->callbackAdvises;
    *pdwCookie = 0;
    if (FAILED(m_adviseResult)) return m_adviseResult;
    if (m_callback != nullptr) return CONNECT_E_ADVISELIMIT;
    if (FAILED(pUnkSink->QueryInterface(IID_IOPCDataCallback, reinterpret_cast<void**>(&m_callback)))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    *pdwCookie = 5;
    return S_OK;
}

STDMETHODIMP FakeDa2Object::Unadvise(DWORD dwCookie) {
    if (dwCookie != 5 || m_callback == nullptr) return CONNECT_E_NOCONNECTION;
    ++m_calls->callbackUnadvises;
    if (m_later.joinable()) m_later.join();
    m_callback->Release();
    m_callback = nullptr;
    return S_OK;
}
