#include "ToviTag.h"

#include "TagGroup.h"

ToviTag::ToviTag() {
    dataType_ = VT_R8;
    accessMode_ = 1;
    valueLimitsEnabled_ = true;
    volatile_ = false;
    simulationEnabled_ = false;
}

bool ToviTag::WriteValue(Variant& value) {
    VARTYPE type = VT_EMPTY;
    {
        ScopedLock guard(lock_);
        if (!OPCS_TagGroup::IsValidGroup(owner_)) {
            return false;
        }
        type = static_cast<VARTYPE>(dataType_);
    }
    if (FAILED(value.ChangeType(type))) {
        return false;
    }
    return SetValueNow(value);
}
