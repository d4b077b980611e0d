#include "PropertyDialogs.h"

#include "RefreshSchedule.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
bool EditDevice(PropertyDialogRunner& runner, ToviDevice& device) {
    GroupPropertiesFields fields;
    fields.name = device.GetName();
    fields.isDevice = true;
    const DeviceRefresh refresh = device.GetRefresh();
    fields.refreshEnabled = refresh.enabled;
    fields.refreshMode = refresh.mode;
    fields.refreshPeriod = refresh.period;
    fields.scheduleIndex = RefreshScheduleIndex(fields.refreshPeriod);
    fields.nameRefusal = [&device](const std::wstring& name) { return OPCS_Device::DeviceNameRefusal(&device, name); };
    if (!runner.EditGroup(fields)) return false;
    device.ApplyProperties(fields.name, DeviceRefresh{fields.refreshEnabled, fields.refreshMode, fields.refreshPeriod},
                           fields.scheduleIndex);
    return true;
}
}  // namespace

bool EditTagProperties(PropertyDialogRunner& runner, ToviTag& tag, OPCS_TagGroup* parent) {
    TagPropertiesFields fields;
    fields.name = tag.GetName();
    fields.description = tag.GetDescription();
    fields.valueText = tag.GetValueText();
    fields.type = tag.GetDataType();
    fields.access = tag.GetAccessMode();
    fields.limitValues = tag.AreValueLimitsSet();
    fields.low = tag.GetValueLowLimit();
    fields.high = tag.GetValueHighLimit();
    fields.deadband = tag.GetDeadband();
    fields.simulation = tag.GetSimulation();
    fields.alarm = tag.GetAlarmSettings();  // applied with the rest: kept unless the dialog changes it
    fields.historize = tag.IsHistorized();  // the same
    if (OPCS_TagGroup::IsValidGroup(parent)) {
        fields.nameRefusal = [&tag, parent](const std::wstring& name) { return parent->TagNameRefusal(&tag, name); };
    }
    if (!runner.EditTag(fields)) return false;
    tag.ApplyProperties(fields.name, fields);
    return true;
}

bool EditGroupProperties(PropertyDialogRunner& runner, OPCS_TagGroup& group, OPCS_TagGroup* parent) {
    if (auto* device = dynamic_cast<ToviDevice*>(&group)) return EditDevice(runner, *device);
    GroupPropertiesFields fields;
    fields.name = group.GetName();
    if (OPCS_TagGroup::IsValidGroup(parent)) {
        fields.nameRefusal = [&group, parent](const std::wstring& name) {
            return parent->GroupNameRefusal(&group, name);
        };
    }
    if (!runner.EditGroup(fields)) return false;
    group.Rename(fields.name);
    return true;
}
