#pragma once
// Owning VARIANT: every copy is deep, every release goes through VariantClear,
// and every conversion goes through the platform's VariantChangeType.
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>

class Variant {
public:
    Variant() noexcept { VariantInit(&v_); }
    explicit Variant(const VARIANT& source);
    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant() { VariantClear(&v_); }

    static Variant FromDouble(double value);
    static Variant FromFloat(float value);
    static Variant FromLong(LONG value);
    static Variant FromShort(SHORT value);
    static Variant FromByte(BYTE value);
    static Variant FromBool(bool value);
    static Variant FromString(std::wstring_view text);
    // Takes over a VARIANT whose contents the caller no longer owns.
    static Variant Adopt(VARIANT& source) noexcept;

    VARTYPE Type() const noexcept { return V_VT(&v_); }
    bool IsEmpty() const noexcept { return V_VT(&v_) == VT_EMPTY; }

    // In-place conversion (flags 0). On failure the value is left as it was.
    HRESULT ChangeType(VARTYPE type);
    // Converted copy; on failure 'ok' is false and an empty Variant is given.
    Variant ConvertedTo(VARTYPE type, HRESULT* result = nullptr) const;

    void Clear() noexcept { VariantClear(&v_); }
    // Deep copy into a caller-owned VARIANT (which is cleared first).
    HRESULT CopyTo(VARIANT* destination) const;
    // Hands the contents over; this object is left empty.
    VARIANT Detach() noexcept;

    const VARIANT& Ref() const noexcept { return v_; }
    VARIANT* Get() noexcept { return &v_; }

private:
    VARIANT v_;
};

// True for the variant types on which limits, scaling and the deadband act.
bool IsNumericType(VARTYPE type) noexcept;
