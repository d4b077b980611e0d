#pragma once
// The real property dialogs: the tag dialog and the group dialog, run
// modally over the window that is active at the time.
#include "PropertyDialogs.h"

class ModalPropertyDialogs : public PropertyDialogRunner {
public:
    bool EditTag(TagPropertiesFields& fields) override;
    bool EditGroup(GroupPropertiesFields& fields) override;
};
