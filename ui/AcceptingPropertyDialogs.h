#pragma once
// Stands in for the property dialogs until they exist: every edit is answered
// OK with the fields as proposed, so a new object keeps its proposed name and
// defaults and an edited one keeps what it has.
#include "PropertyDialogs.h"

class AcceptingPropertyDialogs : public PropertyDialogRunner {
public:
    bool EditTag(TagPropertiesFields& fields) override;
    bool EditGroup(GroupPropertiesFields& fields) override;
};

// Installs the process's one instance unless another runner is installed.
void InstallAcceptingPropertyDialogs() noexcept;
