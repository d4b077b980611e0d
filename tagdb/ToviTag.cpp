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

bool ToviTag::EditProperties() { return EditProperties(GetOwner()); }

bool ToviTag::EditProperties(OPCS_TagGroup* parent) {
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
    if (OPCS_TagGroup::IsValidGroup(parent)) {
        fields.nameRefusal = [this, parent](const std::wstring& name) { return parent->TagNameRefusal(this, name); };
    }
    if (!runner->EditTag(fields)) {
        return false;
    }
    Rename(fields.name);
    ApplyEdit(TagEdit{fields.description, fields.dataType, fields.readWrite ? 1ul : 0ul, fields.limitValues,
                      fields.minimum, fields.maximum, fields.deadband, fields.simulation, fields.value});
    return true;
}
