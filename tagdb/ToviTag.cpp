#include "ToviTag.h"

#include "OPCS_TagGroup.h"

ToviTag::ToviTag() {
    m_dataType = VT_R8;
    m_accessMode = 1;
    m_valueLimitsEnabled = true;
    m_volatile = false;
    m_simulationEnabled = false;
}

bool ToviTag::WriteValue(Variant& value) { return ConvertForWrite(value) && SetValueNow(value); }

HRESULT ToviTag::WriteQualifiedValue(Variant& value, WORD quality, FILETIME timestamp) {
    return ConvertForWrite(value) && SetValue(value, quality, timestamp) ? S_OK : OPC_E_BADTYPE;
}

bool ToviTag::ConvertForWrite(Variant& value) {
    VARTYPE type = VT_EMPTY;
    {
        ScopedLock guard(m_lock);
        if (!OPCS_TagGroup::IsValidGroup(m_owner)) {
            return false;
        }
        type = static_cast<VARTYPE>(m_dataType);
    }
    return SUCCEEDED(value.ChangeType(type));
}
