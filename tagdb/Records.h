#pragma once
// The records of the configuration file: each class layer writes its own
// block after its base class's block, each block opening with its version.
// These helpers are friends of the classes whose members they store and load;
// the classes' Serialize operations call them.
#include <memory>
#include <vector>

#include "Archive.h"
#include "Dll.h"

class OPCS_Tag;
class OPCS_TagGroup;
class OPCS_Device;
class ToviDevice;

class TagRecord {
public:
    // The OPCS_Tag block.
    static void Serialize(OPCS_Tag& tag, Archive& archive);
    // A list of tags: count, then class code and record of each valid tag.
    static void StoreList(Archive& archive, const Dll<OPCS_Tag*>& tags);
    // Fresh product tags, as many as could be read (see RecordList.h).
    static std::vector<std::unique_ptr<OPCS_Tag>> LoadList(Archive& archive);

private:
    static void Store(OPCS_Tag& tag, Archive& archive);
    static void LoadCurrent(OPCS_Tag& tag, Archive& archive, double version);
    static void LoadFrom11To15(OPCS_Tag& tag, Archive& archive, double version);
    static void LoadBefore11(OPCS_Tag& tag, Archive& archive);
};

class GroupRecord {
public:
    // The OPCS_TagGroup block, children included; loading adopts the children.
    static void Serialize(OPCS_TagGroup& group, Archive& archive);
    static void StoreList(Archive& archive, const Dll<OPCS_TagGroup*>& groups);
    static std::vector<std::unique_ptr<OPCS_TagGroup>> LoadList(Archive& archive);
};

class DeviceRecord {
public:
    // The OPCS_Device block (after the group block).
    static void SerializeDevice(OPCS_Device& device, Archive& archive);
    // The ToviDevice block (after the device block).
    static void SerializeProduct(ToviDevice& device, Archive& archive);
    static void StoreList(Archive& archive, const Dll<OPCS_Device*>& devices);
    // Appends each device read to the list; the list's owner owns them.
    static void LoadList(Archive& archive, Dll<OPCS_Device*>& into);
};
