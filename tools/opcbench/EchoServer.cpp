#include "EchoServer.h"

#include <objbase.h>
#include <olectl.h>
#include <algorithm>
#include <atomic>
#include <cwchar>
#include <mutex>
#include <thread>
#include <vector>
#include <string>

#include "ComObject.h"
#include "EchoCallbackThread.h"
#include "EchoShapes.h"
#include "OpcConstants.h"
#include "TaskMem.h"

namespace {
const wchar_t kEchoProxyFile[] = L"opcbench_ps.dll";
const wchar_t kEchoClassKey[] = L"CLSID\\{725AC998-BCC8-4BDA-8E27-F3006D713A40}";

std::atomic<long> g_liveObjects{0};
std::atomic<bool> g_everUsed{false};
HANDLE g_lastReleased = nullptr;

void ObjectGone() {
    if (--g_liveObjects == 0 && g_lastReleased != nullptr) SetEvent(g_lastReleased);
}

// Zeroed task-allocated arrays for both outputs, as a method that did the
// work would hand them out; E_OUTOFMEMORY leaves both null.
template <class Result>
HRESULT Allocate(DWORD count, Result** results, HRESULT** errors) {
    *results = TaskAllocArray<Result>(count);
    *errors = TaskAllocArray<HRESULT>(count);
    if (*results == nullptr || *errors == nullptr) {
        CoTaskMemFree(*results);
        CoTaskMemFree(*errors);
        *results = nullptr;
        *errors = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// A stream-sized block handed to the sink as the server hands its streams.
void DeliverBlock(IAdviseSink* sink, DWORD bytes) {
    if (sink == nullptr) return;
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE, bytes < 4 ? 4 : bytes);
    if (medium.hGlobal == nullptr) return;
    if (auto* data = static_cast<DWORD*>(GlobalLock(medium.hGlobal))) {
        data[0] = bytes;  // the size field of a stream header
        GlobalUnlock(medium.hGlobal);
    }
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    sink->OnDataChange(&format, &medium);
    GlobalFree(medium.hGlobal);
}

// Frees what a Browse handed out so far (the echo's elements carry no properties).
void FreeNames(OPCBROWSEELEMENT* elements, DWORD count) {
    for (DWORD i = 0; elements != nullptr && i < count; ++i) {
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
    }
    CoTaskMemFree(elements);
}

// "Now" as a FILETIME: the server stamps its values, so the floor stamps too.
FILETIME Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

class ItemShapeEcho final : public ComObject<IItemShapeEcho, ISinkShapeEcho, ICallbackShapeEcho, IDa3ShapeEcho> {
public:
    ItemShapeEcho() : ComObject(1) { ++g_liveObjects; }

    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF*, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override {
        return Allocate(dwCount, ppAddResults, ppErrors);
    }
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF*, BOOL, OPCITEMRESULT** ppValidationResults,
                               HRESULT** ppErrors) override {
        return Allocate(dwCount, ppValidationResults, ppErrors);
    }
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE*, HRESULT** ppErrors) override {
        *ppErrors = TaskAllocArray<HRESULT>(dwCount);
        return *ppErrors != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP Read(OPCDATASOURCE, DWORD dwCount, OPCHANDLE*, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override {
        const HRESULT hr = Allocate(dwCount, ppItemValues, ppErrors);
        // The same payload as a read of the product's tags: a double each.
        if (SUCCEEDED(hr)) {
            for (DWORD i = 0; i < dwCount; ++i) (*ppItemValues)[i].vDataValue.vt = VT_R8;
        }
        return hr;
    }
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override {
        *ppErrors = TaskAllocArray<HRESULT>(dwCount);
        if (*ppErrors == nullptr) return E_OUTOFMEMORY;
        // Stored only while a sustained run scans them.
        std::lock_guard<std::mutex> guard(m_valuesLock);
        for (DWORD i = 0; i < dwCount && !m_values.empty(); ++i) {
            if (phServer[i] < m_values.size() && V_VT(&pItemValues[i]) == VT_R8) {
                m_values[phServer[i]] = V_R8(&pItemValues[i]);
            }
        }
        return S_OK;
    }

    STDMETHODIMP Deliver(IAdviseSink* pSink, DWORD dwBytes) override {
        DeliverBlock(pSink, dwBytes);
        return S_OK;
    }
    STDMETHODIMP ReadAndDeliver(DWORD dwCount, OPCHANDLE*, IAdviseSink* pSink, DWORD dwBytes, DWORD* pTransactionID,
                                HRESULT** ppErrors) override {
        *ppErrors = TaskAllocArray<HRESULT>(dwCount);
        if (*ppErrors == nullptr) return E_OUTOFMEMORY;
        *pTransactionID = 2;
        DeliverBlock(pSink, dwBytes);
        return S_OK;
    }

    STDMETHODIMP DeliverSustained(IAdviseSink* pSink, DWORD dwBytes, DWORD dwThreads, DWORD dwPeriodMs,
                                  DWORD dwDurationMs, DWORD* pDelivered, DWORD* pLate) override {
        if (pSink == nullptr || pDelivered == nullptr || pLate == nullptr || dwThreads == 0 || dwThreads > 1000) {
            return E_INVALIDARG;
        }
        std::atomic<DWORD> delivered{0}, late{0};
        const ULONGLONG end = GetTickCount64() + dwDurationMs;
        std::vector<std::thread> threads;
        for (DWORD t = 0; t < dwThreads; ++t) {
            threads.emplace_back([&] {
                // The server's data threads live in the multithreaded apartment too.
                const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                ULONGLONG due = GetTickCount64();
                while (GetTickCount64() < end) {
                    const ULONGLONG start = GetTickCount64();
                    if (start > due + dwPeriodMs) ++late;
                    DeliverBlock(pSink, dwBytes);
                    ++delivered;
                    due = start + dwPeriodMs;
                    const ULONGLONG now = GetTickCount64();
                    if (now < due) Sleep(static_cast<DWORD>(due - now));
                }
                if (SUCCEEDED(joined)) CoUninitialize();
            });
        }
        for (std::thread& thread : threads) thread.join();
        *pDelivered = delivered.load();
        *pLate = late.load();
        return S_OK;
    }

    STDMETHODIMP Advise(IDataCallbackShape* pCallback) override {
        m_callbacks.SetCallback(pCallback);
        return S_OK;
    }
    STDMETHODIMP DataChange(DWORD dwCount, DWORD dwTransid) override {
        if (!m_callbacks.HasCallback()) return CONNECT_E_NOCONNECTION;
        return m_callbacks.Post(EchoCallbackThread::Kind::kDataChange, dwCount, dwTransid) ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE*, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override {
        if (!m_callbacks.HasCallback()) return CONNECT_E_NOCONNECTION;
        *ppErrors = TaskAllocArray<HRESULT>(dwCount);
        if (*ppErrors == nullptr) return E_OUTOFMEMORY;
        *pdwCancelID = dwTransactionID;
        if (m_callbacks.Post(EchoCallbackThread::Kind::kReadComplete, dwCount, dwTransactionID)) return S_OK;
        CoTaskMemFree(*ppErrors);
        *ppErrors = nullptr;
        return E_OUTOFMEMORY;
    }

    STDMETHODIMP SustainChanges(DWORD dwGroups, DWORD dwItems, DWORD dwPeriodMs, DWORD dwDurationMs, DWORD* pDelivered,
                                DWORD* pLate, DWORD* pCpuMs) override {
        if (pDelivered == nullptr || pLate == nullptr || pCpuMs == nullptr || dwGroups == 0 || dwGroups > 1000 ||
            dwItems == 0 || dwItems > 100000) {
            return E_INVALIDARG;
        }
        Microsoft::WRL::ComPtr<IDataCallbackShape> callback = m_callbacks.Callback();
        if (!callback) return CONNECT_E_NOCONNECTION;
        {
            std::lock_guard<std::mutex> guard(m_valuesLock);
            m_values.assign(size_t{dwGroups} * dwItems, 0.0);
        }
        const double cpu0 = ProcessCpuMs();
        std::atomic<DWORD> delivered{0}, late{0};
        const ULONGLONG end = GetTickCount64() + dwDurationMs;
        std::vector<std::thread> threads;
        for (DWORD g = 0; g < dwGroups; ++g) {
            threads.emplace_back([&, g] {
                const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                std::vector<double> reported(dwItems, 0.0);
                std::vector<OPCHANDLE> handles;
                std::vector<VARIANT> values;
                std::vector<WORD> qualities;
                std::vector<FILETIME> times;
                std::vector<HRESULT> errors;
                ULONGLONG due = GetTickCount64();
                while (GetTickCount64() < end) {
                    const ULONGLONG start = GetTickCount64();
                    if (start > due + dwPeriodMs) ++late;
                    handles.clear();
                    values.clear();
                    {
                        std::lock_guard<std::mutex> guard(m_valuesLock);
                        const double* now = m_values.data() + size_t{g} * dwItems;
                        for (DWORD i = 0; i < dwItems; ++i) {
                            if (now[i] == reported[i]) continue;
                            reported[i] = now[i];
                            handles.push_back(i);
                            VARIANT v;
                            VariantInit(&v);
                            V_VT(&v) = VT_R8;
                            V_R8(&v) = now[i];
                            values.push_back(v);
                        }
                    }
                    if (!handles.empty()) {
                        const size_t n = handles.size();
                        FILETIME stamp;
                        GetSystemTimeAsFileTime(&stamp);
                        qualities.assign(n, 0xC0);
                        times.assign(n, stamp);
                        errors.assign(n, S_OK);
                        callback->OnDataChange(0, 100 + g, S_OK, S_OK, static_cast<DWORD>(n), handles.data(),
                                               values.data(), qualities.data(), times.data(), errors.data());
                        delivered += static_cast<DWORD>(n);
                    }
                    due = start + dwPeriodMs;
                    const ULONGLONG after = GetTickCount64();
                    if (after < due) Sleep(static_cast<DWORD>(due - after));
                }
                if (SUCCEEDED(joined)) CoUninitialize();
            });
        }
        for (std::thread& thread : threads) thread.join();
        {
            std::lock_guard<std::mutex> guard(m_valuesLock);
            m_values.clear();
        }
        *pDelivered = delivered.load();
        *pLate = late.load();
        *pCpuMs = static_cast<DWORD>(ProcessCpuMs() - cpu0);
        return S_OK;
    }

    STDMETHODIMP SetBranchSize(DWORD dwLeaves) override {
        m_branchLeaves = dwLeaves;
        return S_OK;
    }
    STDMETHODIMP Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned, OPCBROWSEFILTER,
                        LPWSTR, LPWSTR, BOOL, BOOL, DWORD, DWORD*, BOOL* pbMoreElements, DWORD* pdwCount,
                        OPCBROWSEELEMENT** ppBrowseElements) override {
        *pbMoreElements = FALSE;
        *pdwCount = 0;
        *ppBrowseElements = nullptr;
        const DWORD total = m_branchLeaves.load();
        DWORD first = 0;
        if (*pszContinuationPoint != nullptr) first = static_cast<DWORD>(wcstoul(*pszContinuationPoint, nullptr, 10));
        DWORD count = first < total ? total - first : 0;
        if (dwMaxElementsReturned != 0) count = std::min(count, dwMaxElementsReturned);
        const bool more = first + count < total;
        auto* elements = count != 0 ? TaskAllocArray<OPCBROWSEELEMENT>(count) : nullptr;
        if (count != 0 && elements == nullptr) return E_OUTOFMEMORY;
        const std::wstring prefix = std::wstring(szItemID != nullptr ? szItemID : L"") + L".";
        for (DWORD i = 0; i < count; ++i) {
            const std::wstring name = L"Tag" + std::to_wstring(first + i);
            elements[i].szName = TaskStrDup(name);
            elements[i].szItemID = TaskStrDup(prefix + name);
            elements[i].dwFlagValue = OPC_BROWSE_ISITEM;
            if (elements[i].szName == nullptr || elements[i].szItemID == nullptr) {
                FreeNames(elements, i + 1);
                return E_OUTOFMEMORY;
            }
        }
        LPWSTR point = TaskStrDup(more ? std::to_wstring(first + count) : std::wstring());
        if (point == nullptr) {
            FreeNames(elements, count);
            return E_OUTOFMEMORY;
        }
        CoTaskMemFree(*pszContinuationPoint);
        *pszContinuationPoint = point;
        *pbMoreElements = more ? TRUE : FALSE;
        *pdwCount = count;
        *ppBrowseElements = elements;
        return S_OK;
    }
    STDMETHODIMP ReadItems(DWORD dwCount, LPCWSTR*, DWORD*, VARIANT** ppvValues, WORD** ppwQualities,
                           FILETIME** ppftTimeStamps, HRESULT** ppErrors) override {
        *ppvValues = TaskAllocArray<VARIANT>(dwCount);
        *ppwQualities = TaskAllocArray<WORD>(dwCount);
        *ppftTimeStamps = TaskAllocArray<FILETIME>(dwCount);
        *ppErrors = TaskAllocArray<HRESULT>(dwCount);
        if (*ppvValues == nullptr || *ppwQualities == nullptr || *ppftTimeStamps == nullptr || *ppErrors == nullptr) {
            for (void* p : {static_cast<void*>(*ppvValues), static_cast<void*>(*ppwQualities),
                            static_cast<void*>(*ppftTimeStamps), static_cast<void*>(*ppErrors)}) {
                CoTaskMemFree(p);
            }
            *ppvValues = nullptr;
            *ppwQualities = nullptr;
            *ppftTimeStamps = nullptr;
            *ppErrors = nullptr;
            return E_OUTOFMEMORY;
        }
        const FILETIME now = Now();
        for (DWORD i = 0; i < dwCount; ++i) {
            V_VT(&(*ppvValues)[i]) = VT_R8;
            (*ppwQualities)[i] = OPC_QUALITY_GOOD;
            (*ppftTimeStamps)[i] = now;
        }
        return S_OK;
    }
    STDMETHODIMP WriteItemsVQT(DWORD dwCount, LPCWSTR*, OPCITEMVQT*, HRESULT** ppErrors) override {
        *ppErrors = TaskAllocArray<HRESULT>(dwCount);
        return *ppErrors != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE*, OPCITEMVQT*, HRESULT** ppErrors) override {
        *ppErrors = TaskAllocArray<HRESULT>(dwCount);
        return *ppErrors != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~ItemShapeEcho() override = default;
    static double ProcessCpuMs() {
        FILETIME created, exited, kernel, user;
        if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
        auto ms = [](FILETIME t) {
            return ((static_cast<double>(t.dwHighDateTime) * 4294967296.0) + t.dwLowDateTime) / 10000.0;
        };
        return ms(kernel) + ms(user);
    }
    // The process may end once the last object is gone.
    void FinalRelease() noexcept override {
        delete this;
        ObjectGone();
    }
    EchoCallbackThread m_callbacks;
    std::mutex m_valuesLock;
    std::vector<double> m_values;  // what Write left, by handle, during SustainChanges
    std::atomic<DWORD> m_branchLeaves{0};
};

// A static object: the process outlives every reference to it.
class EchoFactory final : public ComHeld<IClassFactory> {
public:
    EchoFactory() : ComHeld(1) {}
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* echo = new (std::nothrow) ItemShapeEcho;
        if (echo == nullptr) return E_OUTOFMEMORY;
        g_everUsed = true;
        const HRESULT hr = echo->QueryInterface(riid, ppv);
        echo->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

IItemShapeEcho* NewEcho() { return new (std::nothrow) ItemShapeEcho; }

std::wstring ModuleFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

HRESULT CallProxyRegistration(bool unregister) {
    const std::wstring dll = ModuleFolder() + kEchoProxyFile;
    HMODULE module = LoadLibraryW(dll.c_str());
    if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto entry =
        reinterpret_cast<Entry>(GetProcAddress(module, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
    const HRESULT hr = entry != nullptr ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}
}  // namespace

int RunEchoServer() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    g_lastReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static EchoFactory factory;
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_ItemShapeEcho, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (SUCCEEDED(hr)) {
        // Ends once the client let go of everything; a server nobody ever
        // reached gives up after a minute instead of lingering in the prefix.
        while (WaitForSingleObject(g_lastReleased, 60000) == WAIT_TIMEOUT && g_everUsed) {}
        CoRevokeClassObject(cookie);
    }
    CloseHandle(g_lastReleased);
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 2;
}

HRESULT CreateEchoObject(IItemShapeEcho** echo) {
    if (echo == nullptr) return E_POINTER;
    *echo = NewEcho();
    return *echo != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT RegisterEchoServer(bool unregister) {
    if (unregister) {
        const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kEchoClassKey);
        const HRESULT proxy = CallProxyRegistration(true);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? proxy : HRESULT_FROM_WIN32(status);
    }
    wchar_t exe[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring command = L"\"" + std::wstring(exe, n) + L"\" /EchoServer";
    const std::wstring key = std::wstring(kEchoClassKey) + L"\\LocalServer32";
    const LSTATUS status = RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, command.c_str(),
                                           static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    return CallProxyRegistration(false);
}
