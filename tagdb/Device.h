#pragma once
// A device: the top level of the configuration, a tag group that also polls.
#include <string>

#include "TagGroup.h"
#include "Thread.h"
#include "Variant.h"

class OPCS_Device : public OPCS_TagGroup {
public:
    OPCS_Device();
    ~OPCS_Device() override;

    bool WriteTag(OPCS_Tag* tag, const Variant& value) override;
    OPCS_Device* GetDevice() override { return this; }
    bool IsDevice() const override { return true; }
    bool CanDelete() override;

    virtual std::wstring GetDeviceName();
    virtual std::wstring ProposeName() = 0;
    virtual bool WriteToDevice(OPCS_Tag* tag, const Variant& value);

    bool IsBusy();

    // False if another live device bears the name, without regard to case.
    static bool IsDeviceNameFree(const OPCS_Device* device, const std::wstring& name);

protected:
    // Leaves the device registry (done once, by the first destructor that runs).
    void LeaveDeviceRegistry() noexcept;

    DWORD deviceClassCode_ = 0;
    DWORD pollRequestCount_ = 0;
    Thread pollThread_;

private:
    bool registered_ = false;
};
