#include "Variant.h"

#include <utility>

Variant::Variant(const VARIANT& source) {
    if (IsSelfContainedType(V_VT(&source))) {
        m_v = source;
        return;
    }
    VariantInit(&m_v);
    VariantCopy(&m_v, const_cast<VARIANT*>(&source));
}

Variant::Variant(const Variant& other) : Variant(other.m_v) {}

Variant::Variant(Variant&& other) noexcept {
    m_v = other.m_v;
    VariantInit(&other.m_v);
}

Variant& Variant::operator=(const Variant& other) {
    if (this != &other && IsSelfContainedType(V_VT(&other.m_v)) && IsSelfContainedType(V_VT(&m_v))) {
        m_v = other.m_v;
    } else if (this != &other) {
        VARIANT copy;
        VariantInit(&copy);
        if (SUCCEEDED(VariantCopy(&copy, const_cast<VARIANT*>(&other.m_v)))) {
            VariantClear(&m_v);
            m_v = copy;
        }
    }
    return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
    if (this != &other) {
        Clear();
        m_v = other.m_v;
        VariantInit(&other.m_v);
    }
    return *this;
}

Variant Variant::FromDouble(double value) {
    Variant v;
    V_VT(&v.m_v) = VT_R8;
    V_R8(&v.m_v) = value;
    return v;
}

Variant Variant::FromFloat(float value) {
    Variant v;
    V_VT(&v.m_v) = VT_R4;
    V_R4(&v.m_v) = value;
    return v;
}

Variant Variant::FromLong(LONG value) {
    Variant v;
    V_VT(&v.m_v) = VT_I4;
    V_I4(&v.m_v) = value;
    return v;
}

Variant Variant::FromShort(SHORT value) {
    Variant v;
    V_VT(&v.m_v) = VT_I2;
    V_I2(&v.m_v) = value;
    return v;
}

Variant Variant::FromByte(BYTE value) {
    Variant v;
    V_VT(&v.m_v) = VT_UI1;
    V_UI1(&v.m_v) = value;
    return v;
}

Variant Variant::FromBool(bool value) {
    Variant v;
    V_VT(&v.m_v) = VT_BOOL;
    V_BOOL(&v.m_v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

Variant Variant::FromString(std::wstring_view text) {
    Variant v;
    BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (s != nullptr) {
        V_VT(&v.m_v) = VT_BSTR;
        V_BSTR(&v.m_v) = s;
    }
    return v;
}

Variant Variant::Adopt(VARIANT& source) noexcept {
    Variant v;
    v.m_v = source;
    VariantInit(&source);
    return v;
}

HRESULT Variant::ChangeType(VARTYPE type) {
    if (V_VT(&m_v) == type) {
        return S_OK;
    }
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeType(&converted, &m_v, 0, type);
    if (SUCCEEDED(hr)) {
        VariantClear(&m_v);
        m_v = converted;
    }
    return hr;
}

Variant Variant::ConvertedTo(VARTYPE type, HRESULT* result) const {
    Variant copy(*this);
    const HRESULT hr = copy.ChangeType(type);
    if (result != nullptr) {
        *result = hr;
    }
    if (FAILED(hr)) {
        copy.Clear();
    }
    return copy;
}

HRESULT Variant::CopyTo(VARIANT* destination) const {
    if (destination == nullptr) {
        return E_POINTER;
    }
    VariantClear(destination);
    return VariantCopy(destination, const_cast<VARIANT*>(&m_v));
}

VARIANT Variant::Detach() noexcept {
    VARIANT out = m_v;
    VariantInit(&m_v);
    return out;
}

bool IsNumericType(VARTYPE type) noexcept {
    switch (type) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_INT:
    case VT_UINT:
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_R8: return true;
    default: return false;
    }
}
