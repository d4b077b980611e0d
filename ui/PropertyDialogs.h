#pragma once
// The property dialogs of tags, groups and devices: the fields are read from
// the object, a dialog runner shows them and answers OK (true) or Cancel
// (false), and the object applies the result in one call. The real runner
// shows the modal dialogs; tests script their own.
#include <windows.h>
#include <functional>
#include <string>

#include "OPCS_Tag.h"
#include "Variant.h"

// Asked by a dialog's OK with the name as typed: empty when the name may be
// taken, otherwise why not (the dialog shows it and stays open).
using NameRefusal = std::function<std::wstring(const std::wstring& name)>;

// The tag's settings as TagEdit holds them, with what only the dialog needs.
struct TagPropertiesFields : TagEdit {
    std::wstring name;
    std::wstring valueText;  // the value as the dialog shows it; `value` is set on OK
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

class OPCS_TagGroup;
class ToviTag;

// Each edits one object through the runner and applies what OK gave; false
// on Cancel. `parent` is where the object is or will be (its names must be
// unique there); a device is edited by EditGroupProperties too.
bool EditTagProperties(PropertyDialogRunner& runner, ToviTag& tag, OPCS_TagGroup* parent);
bool EditGroupProperties(PropertyDialogRunner& runner, OPCS_TagGroup& group, OPCS_TagGroup* parent);
