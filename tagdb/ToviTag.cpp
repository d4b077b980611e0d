#include "ToviTag.h"

#include "OPCS_TagGroup.h"

ToviTag::ToviTag() {
    m_dataType = VT_R8;
    m_accessMode = 1;
    m_valueLimitsEnabled = true;
    m_volatile = false;
    m_simulationEnabled = false;
}

bool ToviTag::WriteValue(Variant& value) {
    VARTYPE type = VT_EMPTY;
    {
        ScopedLock guard(m_lock);
        if (!OPCS_TagGroup::IsValidGroup(m_owner)) {
            return false;
        }
        type = static_cast<VARTYPE>(m_dataType);
    }
    if (FAILED(value.ChangeType(type))) {
        return false;
    }
    return SetValueNow(value);
}
