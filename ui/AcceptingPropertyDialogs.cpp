#include "AcceptingPropertyDialogs.h"

bool AcceptingPropertyDialogs::EditTag(TagPropertiesFields& fields) {
    // The value goes back as it was shown; a value that was not shown ("?") restarts empty.
    Variant value = Variant::FromString(fields.valueText);
    fields.value = SUCCEEDED(value.ChangeType(fields.dataType)) ? value : Variant();
    return true;
}

bool AcceptingPropertyDialogs::EditGroup(GroupPropertiesFields&) { return true; }

void InstallAcceptingPropertyDialogs() noexcept {
    static AcceptingPropertyDialogs runner;
    if (ThePropertyDialogRunner() == nullptr) SetPropertyDialogRunner(&runner);
}
