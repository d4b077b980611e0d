#pragma once
// Owning VARIANT: every copy is deep, every release goes through VariantClear,
// and every conversion goes through the platform's VariantChangeType.
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>

class Variant {
public:
    Variant() noexcept { VariantInit(&m_v); }
    explicit Variant(const VARIANT& source);
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant() { VariantClear(&m_v); }

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

    void Clear() noexcept { VariantClear(&m_v); }
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
