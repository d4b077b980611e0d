#pragma once
// Enumerators behind the proxies: browse names (IEnumString) and item
// attributes (IEnumOPCItemAttributes) over fixed contents.
#include <string>
#include <vector>

#include "FakeComObject.h"
#include "OpcDa.h"

class FakeStringEnumerator : public FakeComObject<IEnumString> {
public:
    explicit FakeStringEnumerator(std::vector<std::wstring> names) : names_(std::move(names)) {}

    STDMETHODIMP Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumString** ppenum) override;

private:
    std::vector<std::wstring> names_;
    size_t next_ = 0;
};

// Two items: an analog one with access path "", a blob and an EU range
// [10, 90]; a plain one with a null access path, no blob and no EU info.
class FakeItemEnumerator : public FakeComObject<IEnumOPCItemAttributes> {
public:
    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

    static constexpr ULONG ItemCount = 2;

private:
    static void Fill(ULONG index, OPCITEMATTRIBUTES& record);
    ULONG next_ = 0;
};
