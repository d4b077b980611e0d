#pragma once
// What the DA 3.0 benchmark calls: the server object's IOPCBrowse and
// IOPCItemIO and a group's IOPCSyncIO2, or the echo's methods of the same
// shapes.
#include <windows.h>
#include <wrl/client.h>

#include "EchoShapes.h"

class Da3Target {
public:
    // A proxy takes no null array, even an empty one.
    static DWORD* NoProperties() {
        static DWORD none = 0;
        return &none;
    }

    virtual ~Da3Target() = default;
    // A page of a branch's leaves, without properties.
    virtual HRESULT Browse(LPWSTR branch, LPWSTR* point, DWORD maxElements, BOOL* more, DWORD* count,
                           OPCBROWSEELEMENT** elements) = 0;
    virtual HRESULT Read(DWORD count, LPCWSTR* ids, DWORD* maxAges, VARIANT** values, WORD** qualities,
                         FILETIME** times, HRESULT** errors) = 0;
    virtual HRESULT WriteItemsVqt(DWORD count, LPCWSTR* ids, OPCITEMVQT* vqts, HRESULT** errors) = 0;
    virtual HRESULT WriteVqt(DWORD count, OPCHANDLE* handles, OPCITEMVQT* vqts, HRESULT** errors) = 0;
    // True when the results carry real names, values and qualities to check.
    virtual bool DoesWork() const = 0;
};

class Da3ServerTarget final : public Da3Target {
public:
    Da3ServerTarget(IOPCBrowse* browse, IOPCItemIO* itemIo, IOPCSyncIO2* groupIo)
        : m_browse(browse), m_itemIo(itemIo), m_groupIo(groupIo) {}
    HRESULT Browse(LPWSTR branch, LPWSTR* point, DWORD maxElements, BOOL* more, DWORD* count,
                   OPCBROWSEELEMENT** elements) override {
        return m_browse->Browse(branch, point, maxElements, OPC_BROWSE_FILTER_ALL, const_cast<LPWSTR>(L""),
                                const_cast<LPWSTR>(L""), FALSE, FALSE, 0, NoProperties(), more, count, elements);
    }
    HRESULT Read(DWORD count, LPCWSTR* ids, DWORD* maxAges, VARIANT** values, WORD** qualities, FILETIME** times,
                 HRESULT** errors) override {
        return m_itemIo->Read(count, ids, maxAges, values, qualities, times, errors);
    }
    HRESULT WriteItemsVqt(DWORD count, LPCWSTR* ids, OPCITEMVQT* vqts, HRESULT** errors) override {
        return m_itemIo->WriteVQT(count, ids, vqts, errors);
    }
    HRESULT WriteVqt(DWORD count, OPCHANDLE* handles, OPCITEMVQT* vqts, HRESULT** errors) override {
        return m_groupIo->WriteVQT(count, handles, vqts, errors);
    }
    bool DoesWork() const override { return true; }

private:
    Microsoft::WRL::ComPtr<IOPCBrowse> m_browse;
    Microsoft::WRL::ComPtr<IOPCItemIO> m_itemIo;
    Microsoft::WRL::ComPtr<IOPCSyncIO2> m_groupIo;
};

class Da3EchoTarget final : public Da3Target {
public:
    explicit Da3EchoTarget(IDa3ShapeEcho* echo) : m_echo(echo) {}
    HRESULT Browse(LPWSTR branch, LPWSTR* point, DWORD maxElements, BOOL* more, DWORD* count,
                   OPCBROWSEELEMENT** elements) override {
        return m_echo->Browse(branch, point, maxElements, OPC_BROWSE_FILTER_ALL, const_cast<LPWSTR>(L""),
                              const_cast<LPWSTR>(L""), FALSE, FALSE, 0, NoProperties(), more, count, elements);
    }
    HRESULT Read(DWORD count, LPCWSTR* ids, DWORD* maxAges, VARIANT** values, WORD** qualities, FILETIME** times,
                 HRESULT** errors) override {
        return m_echo->ReadItems(count, ids, maxAges, values, qualities, times, errors);
    }
    HRESULT WriteItemsVqt(DWORD count, LPCWSTR* ids, OPCITEMVQT* vqts, HRESULT** errors) override {
        return m_echo->WriteItemsVQT(count, ids, vqts, errors);
    }
    HRESULT WriteVqt(DWORD count, OPCHANDLE* handles, OPCITEMVQT* vqts, HRESULT** errors) override {
        return m_echo->WriteVQT(count, handles, vqts, errors);
    }
    bool DoesWork() const override { return false; }

private:
    Microsoft::WRL::ComPtr<IDa3ShapeEcho> m_echo;
};
