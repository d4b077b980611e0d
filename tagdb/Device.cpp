#include "Device.h"

#include "DocumentLink.h"
#include "Dll.h"
#include "Tag.h"
#include "Text.h"

namespace {
struct DeviceRegistry {
    CriticalSection lock;
    Dll<OPCS_Device*> devices;
};

DeviceRegistry& Registry() {
    static DeviceRegistry registry;  // created on first use
    return registry;
}
}  // namespace

OPCS_Device::OPCS_Device() {
    StoreName(L"Device");
    imageIndex_ = 0;
    selectedImageIndex_ = 1;
    DeviceRegistry& r = Registry();
    ScopedLock guard(r.lock);
    r.devices.Append(this);
    registered_ = true;
}

OPCS_Device::~OPCS_Device() { LeaveDeviceRegistry(); }

void OPCS_Device::LeaveDeviceRegistry() noexcept {
    if (!registered_) {
        return;
    }
    DeviceRegistry& r = Registry();
    ScopedLock guard(r.lock);
    for (auto node = r.devices.begin(); node != r.devices.end(); ++node) {
        if (*node == this) {
            r.devices.Remove(node);
            break;
        }
    }
    registered_ = false;
}

bool OPCS_Device::IsDeviceNameFree(const OPCS_Device* device, const std::wstring& name) {
    DeviceRegistry& r = Registry();
    ScopedLock guard(r.lock);
    for (OPCS_Device* other : r.devices) {
        if (other != device && IsValidGroup(other) && EqualsNoCase(other->GetName(), name)) {
            return false;
        }
    }
    return true;
}

std::wstring OPCS_Device::GetDeviceName() { return GetName() + kItemIdSeparator; }

bool OPCS_Device::WriteToDevice(OPCS_Tag*, const Variant&) { return false; }

bool OPCS_Device::WriteTag(OPCS_Tag* tag, const Variant& value) {
    if (!OPCS_Tag::IsValidTag(tag) || !WriteToDevice(tag, value)) {
        return false;
    }
    PostViewUpdate(ViewKind::TagList, kHintValuesChanged);
    return true;
}

bool OPCS_Device::IsBusy() {
    ScopedLock guard(lock_);
    return pollRequestCount_ != 0 && pollThread_.IsRunning();
}

bool OPCS_Device::CanDelete() { return !IsBusy(); }
