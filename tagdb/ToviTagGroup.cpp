#include "ToviTagGroup.h"

#include "PropertyDialogs.h"

bool ToviTagGroup::EditProperties() { return EditProperties(GetParent()); }

bool ToviTagGroup::EditProperties(OPCS_TagGroup* parent) {
    PropertyDialogRunner* runner = ThePropertyDialogRunner();
    if (runner == nullptr) {
        return false;
    }
    GroupPropertiesFields fields;
    fields.name = GetName();
    if (IsValidGroup(parent)) {
        fields.nameRefusal = [this, parent](const std::wstring& name) { return parent->GroupNameRefusal(this, name); };
    }
    if (!runner->EditGroup(fields)) {
        return false;
    }
    Rename(fields.name);
    return true;
}
