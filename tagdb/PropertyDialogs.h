#pragma once
// The seam between the product objects and their property dialogs: the
// objects fill the fields, a dialog runner shows them and answers OK (true)
// or Cancel (false), and the objects apply the fields in their own order. The
// user interface installs the real dialogs; without a runner every edit is
// cancelled, so a process with no user never blocks on a dialog.
#include <windows.h>
#include <functional>
#include <string>

#include "Tag.h"
#include "Variant.h"

// Asked by a dialog's OK with the name as typed: empty when the name may be
// taken, otherwise why not (the dialog shows it and stays open).
using NameRefusal = std::function<std::wstring(const std::wstring& name)>;

struct TagPropertiesFields {
    std::wstring name;
    std::wstring description;
    std::wstring valueText;
    VARTYPE dataType = VT_R8;
    bool readWrite = false;
    bool limitValues = false;
    double minimum = 0;
    double maximum = 0;
    double deadband = 0;
    TagSimulation simulation;
    Variant value;  // set by the dialog on OK
    NameRefusal nameRefusal{};
};

struct GroupPropertiesFields {
    std::wstring name;
    bool isDevice = false;  // devices also show the refresh settings
    bool refreshEnabled = false;
    DWORD refreshMode = 0;
    DWORD refreshPeriod = 300;
    // The chosen entry of the refresh schedule; below 0 when none was chosen.
    // By Schedule, a device takes its period from it.
    int scheduleIndex = -1;
    NameRefusal nameRefusal{};
};

class PropertyDialogRunner {
public:
    virtual ~PropertyDialogRunner() = default;
    virtual bool EditTag(TagPropertiesFields& fields) = 0;
    virtual bool EditGroup(GroupPropertiesFields& fields) = 0;
};

void SetPropertyDialogRunner(PropertyDialogRunner* runner) noexcept;
PropertyDialogRunner* ThePropertyDialogRunner() noexcept;
