#pragma once
// Loading and saving configurations in memory for the tests.
#include <string>
#include <vector>

#include "Archive.h"
#include "ConfigurationFile.h"
#include "Device.h"
#include "Tag.h"
#include "ToviDevice.h"
#include "TvfBuilder.h"

// The devices loaded from some bytes; deleted with it.
struct Loaded {
    Dll<OPCS_Device*> devices;
    bool endOfFile = false;
    size_t dropped = 0;

    Loaded() = default;
    explicit Loaded(const std::vector<BYTE>& bytes) {
        Archive archive(bytes.data(), bytes.size());
        try {
            LoadConfiguration(archive, devices);
        } catch (const ArchiveEndOfFile&) {
            endOfFile = true;
        }
        dropped = archive.DroppedRecords();
    }
    explicit Loaded(const Bytes& bytes) : Loaded(bytes.data) {}
    ~Loaded() {
        for (OPCS_Device* d : devices) {
            if (OPCS_TagGroup::IsValidGroup(d)) delete d;
        }
    }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;

    int Count() const { return devices.Count(); }
    ToviDevice* Device(int index) {
        auto it = devices.begin();
        std::advance(it, index);
        return dynamic_cast<ToviDevice*>(*it);
    }
    OPCS_Tag* Tag(int device, const std::wstring& id) { return Device(device)->FindTag(id); }
};

inline std::vector<BYTE> Store(const Dll<OPCS_Device*>& devices) {
    Archive archive;
    StoreConfiguration(archive, devices);
    return archive.Bytes();
}

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
