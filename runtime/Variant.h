#pragma once
// Owning VARIANT: every copy is deep, every release of what the VARIANT
// points to goes through VariantClear, and every conversion goes through the
// platform's VariantChangeType.
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>

// A type whose VARIANT holds all of its value (no string, array, interface or
// reference): copied and cleared as plain data, which is all the platform's
// VariantCopy and VariantClear do for it, without a call into it. A scan of
// 10,000 items copies several values of each.
constexpr bool IsSelfContainedType(VARTYPE type) noexcept {
    constexpr unsigned kSelfContained = (1u << VT_EMPTY) | (1u << VT_NULL) | (1u << VT_I2) | (1u << VT_I4) |
                                        (1u << VT_R4) | (1u << VT_R8) | (1u << VT_CY) | (1u << VT_DATE) |
                                        (1u << VT_ERROR) | (1u << VT_BOOL) | (1u << VT_DECIMAL) | (1u << VT_I1) |
                                        (1u << VT_UI1) | (1u << VT_UI2) | (1u << VT_UI4) | (1u << VT_I8) |
                                        (1u << VT_UI8) | (1u << VT_INT) | (1u << VT_UINT);
    return type <= VT_UINT && (kSelfContained & (1u << type)) != 0;
}

class Variant {
public:
    Variant() noexcept { VariantInit(&m_v); }
    explicit Variant(const VARIANT& source);
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant() {
        if (!IsSelfContainedType(V_VT(&m_v))) VariantClear(&m_v);
    }

    static Variant FromDouble(double value);
    static Variant FromFloat(float value);
    static Variant FromLong(LONG value);
    static Variant FromShort(SHORT value);
    static Variant FromByte(BYTE value);
    static Variant FromBool(bool value);
    static Variant FromString(std::wstring_view text);
    // Takes over a VARIANT whose contents the caller no longer owns.
    static Variant Adopt(VARIANT& source) noexcept;

    VARTYPE Type() const noexcept { return V_VT(&m_v); }
    bool IsEmpty() const noexcept { return V_VT(&m_v) == VT_EMPTY; }

    // In-place conversion (flags 0). On failure the value is left as it was.
    HRESULT ChangeType(VARTYPE type);
    // Converted copy; on failure 'ok' is false and an empty Variant is given.
    Variant ConvertedTo(VARTYPE type, HRESULT* result = nullptr) const;

    void Clear() noexcept {
        if (IsSelfContainedType(V_VT(&m_v))) {
            V_VT(&m_v) = VT_EMPTY;
        } else {
            VariantClear(&m_v);
        }
    }
    // Deep copy into a caller-owned VARIANT (which is cleared first).
    HRESULT CopyTo(VARIANT* destination) const;
    // Hands the contents over; this object is left empty.
    VARIANT Detach() noexcept;

    const VARIANT& Ref() const noexcept { return m_v; }
    VARIANT* Get() noexcept { return &m_v; }

private:
    VARIANT m_v;
};

// True for the variant types on which limits, scaling and the deadband act.
bool IsNumericType(VARTYPE type) noexcept;
