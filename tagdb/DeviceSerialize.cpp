// The device record (group block, device block, product block) and the
// configuration's device list.
#include <algorithm>
#include <memory>

#include "Archive.h"
#include "OPCS_Device.h"
#include "RecordList.h"
#include "RecordVersions.h"
#include "Records.h"
#include "ToviDevice.h"

namespace {
const RecordListTexts kDeviceListTexts = {
    L"Serialization Success - output device:",         L"Serialization Error - output device:",
    L"Serialization Error - failed to create device:", L"Serialization Error - input device#:",
    L"Serialization Success - input Device:",          false};

// Intervals of the older layouts are in milliseconds; whole seconds, truncated.
DWORD SecondsFromMilliseconds(DWORD milliseconds) { return milliseconds / 1000; }
}  // namespace

void OPCS_Device::Serialize(Archive& archive) {
    OPCS_TagGroup::Serialize(archive);
    DeviceRecord::SerializeDevice(*this, archive);
}

void ToviDevice::Serialize(Archive& archive) {
    ScopedLock guard(m_lock);
    OPCS_Device::Serialize(archive);
    DeviceRecord::SerializeProduct(*this, archive);
}

void DeviceRecord::SerializeDevice(OPCS_Device& device, Archive& archive) {
    ScopedLock guard(device.m_lock);
    if (archive.IsStoring()) {
        const DWORD delay = device.GetResponseDelay();
        const bool extended = device.m_pollOnOpen || delay != 0;
        archive.WriteDouble(extended ? kDeviceSettingsRecordVersion : kRecordVersion);
        archive.WriteBool(device.m_inService);
        archive.WriteDword(device.m_updateInterval);
        if (extended) {
            archive.WriteBool(device.m_pollOnOpen);
            archive.WriteDword(delay);
        }
        return;
    }
    // The interval is taken as stored, without the setter's range.
    const double version = archive.ReadDouble();
    if (version >= 1.6) {
        device.m_inService = archive.ReadBool();
        device.m_updateInterval = archive.ReadDword();
        if (version >= kDeviceSettingsRecordVersion) {
            device.m_pollOnOpen = archive.ReadBool();
            device.m_responseDelayMs = std::min(archive.ReadDword(), kMaxResponseDelayMs);
        }
    } else if (version >= 1.5) {
        device.m_inService = archive.ReadBool();
        device.m_updateInterval = SecondsFromMilliseconds(archive.ReadDword());
    } else if (version >= 1.3) {
        archive.ReadString();
        device.m_updateInterval = SecondsFromMilliseconds(archive.ReadDword());
        archive.ReadDword();
        archive.ReadDword();
    } else {
        archive.ReadString();
        for (int i = 0; i < 5; ++i) archive.ReadDword();  // serial-port settings
        archive.ReadDword();
        archive.ReadString();
        device.m_updateInterval = SecondsFromMilliseconds(archive.ReadDword());
        archive.ReadDword();
        archive.ReadDword();
    }
}

void DeviceRecord::SerializeProduct(ToviDevice& device, Archive& archive) {
    ScopedLock guard(device.m_lock);
    if (archive.IsStoring()) {
        archive.WriteDouble(ProgramVersionNumber());
        archive.WriteDword(device.m_refreshEnabled != 0 ? 1 : 0);
        archive.WriteDword(device.m_refreshMode);
        archive.WriteDword(device.m_refreshPeriod);
        return;
    }
    const double version = archive.ReadDouble();
    if (version >= 1.1) {
        device.m_refreshEnabled = archive.ReadBool() ? 1 : 0;
        device.m_refreshMode = archive.ReadDword();
        device.m_refreshPeriod = archive.ReadDword();
    }
}

void DeviceRecord::StoreList(Archive& archive, const Dll<OPCS_Device*>& devices) {
    StoreRecordList(
        archive, devices, kDeviceListTexts, [](OPCS_Device* d) { return OPCS_TagGroup::IsValidGroup(d); },
        [](OPCS_Device& d) {
            ScopedLock guard(d.m_lock);
            return d.m_deviceClassCode;
        });
}

void DeviceRecord::LoadList(Archive& archive, Dll<OPCS_Device*>& into) {
    LoadRecordList<OPCS_Device>(
        archive, kDeviceListTexts, [] { return std::make_unique<ToviDevice>(); },
        [&into](std::unique_ptr<OPCS_Device> device) {
            into.Append(device.get());
            device.release();
        });
}
