#include "ToviTag.h"

#include "PropertyDialogs.h"
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

bool ToviTag::EditProperties() {
    PropertyDialogRunner* runner = ThePropertyDialogRunner();
    if (runner == nullptr) {
        return false;
    }
    TagPropertiesFields fields;
    fields.name = GetName();
    fields.description = GetDescription();
    fields.valueText = GetValueText();
    fields.dataType = GetDataType();
    fields.readWrite = GetAccessMode() != 0;
    fields.limitValues = AreValueLimitsSet();
    fields.minimum = GetValueLowLimit();
    fields.maximum = GetValueHighLimit();
    fields.deadband = GetDeadband();
    fields.simulation = GetSimulation();
    if (!runner->EditTag(fields)) {
        return false;
    }
    Rename(fields.name);
    SetDescription(fields.description);
    SetDataType(fields.dataType);
    SetAccessMode(fields.readWrite ? 1 : 0);
    if (fields.limitValues) {
        SetValueLimits(fields.minimum, fields.maximum);
        SetDeadband(fields.deadband);
    } else {
        ClearValueLimits();
    }
    // After the limits, which give the signal its range; before the value,
    // which the signal then goes on from.
    SetSimulation(fields.simulation);
    SetValueNow(fields.value);
    return true;
}
