#include "ToviTagGroup.h"

#include "PropertyDialogs.h"

bool ToviTagGroup::EditProperties() {
    PropertyDialogRunner* runner = ThePropertyDialogRunner();
    if (runner == nullptr) {
        return false;
    }
    GroupPropertiesFields fields;
    fields.name = GetName();
    if (!runner->EditGroup(fields)) {
        return false;
    }
    Rename(fields.name);
    return true;
}
