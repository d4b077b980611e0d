#pragma once
// Shared helpers of the tag database suites.
#include <atomic>
#include <string>

#include "Configuration.h"
#include "OPCS_Device.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

// A configuration the device reports its changes to, without holding it.
class ConfigurationProbe {
public:
    explicit ConfigurationProbe(OPCS_Device& device) : m_device(device) { device.SetConfiguration(&configuration); }
    ~ConfigurationProbe() { m_device.SetConfiguration(nullptr); }
    ConfigurationProbe(const ConfigurationProbe&) = delete;
    ConfigurationProbe& operator=(const ConfigurationProbe&) = delete;
    bool Marked() const { return configuration.IsModified(); }
    void Reset() { configuration.SetModified(false); }
    Configuration configuration;

private:
    OPCS_Device& m_device;
};

class PlainDevice : public OPCS_Device {
public:
    explicit PlainDevice(const std::wstring& name = L"Boiler") { Rename(name); }
    ~PlainDevice() override { Shutdown(); }
    void PollCycle() override { ++cycles; }
    std::wstring ProposeName() override { return L"Device"; }
    std::atomic<int> cycles{0};
};

inline ToviTag* NewTag(const std::wstring& name) {
    auto* tag = new ToviTag;
    tag->Rename(name);
    return tag;
}

inline ToviTagGroup* NewGroup(const std::wstring& name) {
    auto* group = new ToviTagGroup;
    group->Rename(name);
    return group;
}

// Plant { Boiler { Pressure R8 50 } } in a configuration.
struct PressurePlant {
    Configuration configuration;
    ToviDevice* device = new ToviDevice;
    ToviTagGroup* boiler = NewGroup(L"Boiler");
    ToviTag* pressure = NewTag(L"Pressure");
    PressurePlant() {
        device->Rename(L"Plant");
        configuration.AddDevice(device);
        configuration.AddGroupTo(device, boiler);
        configuration.AddTagTo(boiler, pressure);
        pressure->SetValueNow(Variant::FromDouble(50));
    }
};
