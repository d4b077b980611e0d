// The device record (group block, device block, product block) and the
// configuration's device list.
#include <memory>

#include "Archive.h"
#include "Device.h"
#include "RecordList.h"
#include "RecordVersions.h"
#include "Records.h"
#include "ToviDevice.h"

namespace {
const RecordListTexts kDeviceListTexts = {
    L"Serialization Success - output device:", L"Serialization Error - output device:",
    L"Serialization Error - failed to create device:", L"Serialization Error - input device#:",
    L"Serialization Success - input Device:", false};

// Intervals of the older layouts are in milliseconds; whole seconds, truncated.
DWORD SecondsFromMilliseconds(DWORD milliseconds) { return milliseconds / 1000; }
}  // namespace

void OPCS_Device::Serialize(Archive& archive) {
    OPCS_TagGroup::Serialize(archive);
    DeviceRecord::SerializeDevice(*this, archive);
}

void ToviDevice::Serialize(Archive& archive) {
    ScopedLock guard(lock_);
    OPCS_Device::Serialize(archive);
    DeviceRecord::SerializeProduct(*this, archive);
}

void DeviceRecord::SerializeDevice(OPCS_Device& device, Archive& archive) {
    ScopedLock guard(device.lock_);
    if (archive.IsStoring()) {
        archive.WriteDouble(kRecordVersion);
        archive.WriteBool(device.inService_);
        archive.WriteDword(device.updateInterval_);
        return;
    }
    // The interval is taken as stored, without the setter's range.
    const double version = archive.ReadDouble();
    if (version >= 1.6) {
        device.inService_ = archive.ReadBool();
        device.updateInterval_ = archive.ReadDword();
    } else if (version >= 1.5) {
        device.inService_ = archive.ReadBool();
        device.updateInterval_ = SecondsFromMilliseconds(archive.ReadDword());
    } else if (version >= 1.3) {
        archive.ReadString();
        device.updateInterval_ = SecondsFromMilliseconds(archive.ReadDword());
        archive.ReadDword();
        archive.ReadDword();
    } else {
        archive.ReadString();
        for (int i = 0; i < 5; ++i) archive.ReadDword();  // serial-port settings
        archive.ReadDword();
        archive.ReadString();
        device.updateInterval_ = SecondsFromMilliseconds(archive.ReadDword());
        archive.ReadDword();
        archive.ReadDword();
    }
}

void DeviceRecord::SerializeProduct(ToviDevice& device, Archive& archive) {
    ScopedLock guard(device.lock_);
    if (archive.IsStoring()) {
        archive.WriteDouble(ProgramVersionNumber());
        archive.WriteDword(device.refreshEnabled_ != 0 ? 1 : 0);
        archive.WriteDword(device.refreshMode_);
        archive.WriteDword(device.refreshPeriod_);
        return;
    }
    const double version = archive.ReadDouble();
    if (version >= 1.1) {
        device.refreshEnabled_ = archive.ReadBool() ? 1 : 0;
        device.refreshMode_ = archive.ReadDword();
        device.refreshPeriod_ = archive.ReadDword();
    }
}

void DeviceRecord::StoreList(Archive& archive, const Dll<OPCS_Device*>& devices) {
    StoreRecordList(archive, devices, kDeviceListTexts, [](OPCS_Device* d) { return OPCS_TagGroup::IsValidGroup(d); },
                    [](OPCS_Device& d) {
                        ScopedLock guard(d.lock_);
                        return d.deviceClassCode_;
                    });
}

void DeviceRecord::LoadList(Archive& archive, Dll<OPCS_Device*>& into) {
    LoadRecordList<OPCS_Device>(archive, kDeviceListTexts, [] { return std::make_unique<ToviDevice>(); },
                                [&into](std::unique_ptr<OPCS_Device> device) {
                                    into.Append(device.get());
                                    device.release();
                                });
}
