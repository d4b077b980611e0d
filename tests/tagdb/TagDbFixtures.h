#pragma once
// Shared helpers of the tag database suites.
#include <atomic>
#include <string>

#include "Device.h"
#include "DocumentLink.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

class CountingDocument : public DocumentLink {
public:
    CountingDocument() { SetTheDocument(this); }
    ~CountingDocument() override { SetTheDocument(nullptr); }
    void SetModifiedFlag(bool modified) override {
        if (modified) ++marks;
    }
    std::atomic<int> marks{0};
};

class PlainDevice : public OPCS_Device {
public:
    explicit PlainDevice(const std::wstring& name = L"Boiler") { Rename(name); }
    ~PlainDevice() override { Shutdown(); }
    void PollCycle() override { ++cycles; }
    bool EditProperties() override { return false; }
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
