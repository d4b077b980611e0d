#pragma once
// The product's tag: a read/write double with value limits enabled, whose
// client writes go straight into the value.
#include "OPCS_Tag.h"

class ToviTag : public OPCS_Tag {
public:
    ToviTag();
    ~ToviTag() override = default;
    void Serialize(Archive& archive) override;

    bool WriteValue(Variant& value) override;
    HRESULT WriteQualifiedValue(Variant& value, WORD quality, FILETIME timestamp) override;

private:
    // The value in the tag's type, in place; false when it has no owner or does not convert.
    bool ConvertForWrite(Variant& value);
};
