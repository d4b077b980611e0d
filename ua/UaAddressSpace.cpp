// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaAddressSpace.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "CriticalSection.h"
#include "OPCS_Device.h"
#include "OPCS_Tag.h"
#include "OPCS_TagGroup.h"
#include "OpcConstants.h"
#include "Text.h"
#include "UaCommon.h"
#include "UaMapping.h"

struct UaAddressSpace::Folder {
    std::string parent;  // empty: the Objects folder
    std::wstring name;
    int depth = 0;
    const OPCS_TagGroup* group = nullptr;  // whose folder it is: compared, never followed
    bool control = false;
    std::vector<TagRecord*> tags;             // its variables; each record knows its slot here
    std::unordered_set<std::string> folders;  // its sub-folders
};
struct UaAddressSpace::TagRecord {
    UaAddressSpace* owner = nullptr;
    std::string id;           // the DA item ID in UTF-8: the NodeId's identifier
    std::string parent;       // the folder's item path; the name follows it and a separator in `id`
    std::string description;  // UTF-8, until its node is made: then only its hash is kept
    size_t descriptionHash = 0;
    OPCS_Tag* tag = nullptr;
    OPCS_Tag* indexed = nullptr;   // its key in m_byTag
    size_t slot = 0;               // its place in its folder's list
    unsigned long long shape = 0;  // the shape count at which `tag` was taken
    // What a read may serve without the configuration: the value is the tag's
    // when nothing changed since `epoch` and the shape is still `shape`.
    unsigned long long epoch = 0;
    bool control = false;  // mirrors a setting: read it afresh each time
    bool fresh = false;    // the value has been read at least once
    bool gone = false;     // on its way out: reads answer that the node is unknown
    bool limitsSet = false;
    bool historized = false;
    VARTYPE type = VT_EMPTY;
    DWORD access = 0;
    DWORD changeCount = 0;
    UA_DataValue* valuePointer = &value;
    UA_DataValue value{};
    double low = 0, high = 0;

    TagRecord() { UA_DataValue_init(&value); }
    ~TagRecord() { UA_DataValue_clear(&value); }
    TagRecord(const TagRecord&) = delete;
    TagRecord& operator=(const TagRecord&) = delete;

    std::string_view Name() const { return std::string_view(id).substr(parent.size() + 1); }
    // The same node: only its attributes may differ.
    bool SameNode(const TagRecord& other) const { return parent == other.parent; }
    bool SameAttributes(const TagRecord& other) const {
        return descriptionHash == other.descriptionHash && type == other.type && access == other.access &&
               limitsSet == other.limitsSet && (!limitsSet || (low == other.low && high == other.high)) &&
               historized == other.historized;
    }
};

// What the configuration holds in some folders: every member of each folder
// in `listed` ("" is the Objects folder), and below them.
struct UaAddressSpace::Listing {
    unsigned long long shape = 0;
    std::unordered_set<std::string> listed;
    std::vector<std::pair<std::string, Folder>> folders;  // parents before children
    std::vector<std::unique_ptr<TagRecord>> tags;
    std::unordered_set<std::string> dropped;  // folders of deleted groups
};

namespace {
// The model change events' standard NodeIds and verbs.
constexpr UA_UInt32 kBaseModelChangeEventType = 2132;
constexpr UA_UInt32 kGeneralModelChangeEventType = 2133;
constexpr UA_UInt32 kGeneralModelChangeEventTypeChanges = 2134;
constexpr UA_Byte kNodeAdded = 1, kNodeDeleted = 2, kReferenceAdded = 4, kReferenceDeleted = 8;

bool IsAdminSession(const UA_NodeId* sessionId) {
    // The library's own session for calls made through the server API.
    return sessionId == nullptr ||
           (sessionId->identifierType == UA_NODEIDTYPE_GUID && sessionId->identifier.guid.data1 == 1 &&
            sessionId->identifier.guid.data2 == 0 && sessionId->identifier.guid.data3 == 0);
}

// Read/Write tags (access mode 1) may be written; every tag may be read. A
// tag's history may be read, and edited by those who may write (the access
// control takes the write bits from the others).
UA_Byte AccessLevelOf(DWORD access, bool historized) {
    UA_Byte level = UA_ACCESSLEVELMASK_READ | (access == 1 ? static_cast<UA_Byte>(UA_ACCESSLEVELMASK_WRITE) : 0);
    if (historized) level |= UA_ACCESSLEVELMASK_HISTORYREAD | UA_ACCESSLEVELMASK_HISTORYWRITE;
    return level;
}

// Text, Boolean and integer histories hold each value until the next: stepped.
bool SteppedType(VARTYPE type) { return type != VT_R4 && type != VT_R8; }

// Tags with value limits are analog items, with their EURange.
UA_ExpandedNodeId TypeDefinitionOf(bool limitsSet) {
    return UA_EXPANDEDNODEID_NUMERIC(0, limitsSet ? UA_NS0ID_ANALOGITEMTYPE : UA_NS0ID_BASEDATAVARIABLETYPE);
}

constexpr size_t kMostListed = 1000;  // nodes named in one model change event

std::string NodeKey(const UA_NodeId& nodeId) {
    return std::string(reinterpret_cast<const char*>(nodeId.identifier.string.data), nodeId.identifier.string.length);
}
}  // namespace

UaAddressSpace::UaAddressSpace(Configuration& configuration)
    : m_configuration(configuration),
      m_rootFolder(std::make_unique<Folder>()),
      m_slots(std::make_unique<Slot[]>(size_t{1} << kWatchSlotBits)) {}

UaAddressSpace::~UaAddressSpace() { Detach(); }

void UaAddressSpace::Detach() {
    if (m_attached.exchange(false)) m_configuration.SetTagChangeObserver(nullptr);
    ReleasePolling();
}

void UaAddressSpace::TagChanged(OPCS_Tag* tag) noexcept {
    Slot& slot = m_slots[WatchSlot(tag)];
    slot.changes.fetch_add(1, std::memory_order_acq_rel);
    // Nobody watches: a DA client's changes cost nothing more here; nor do
    // the changes of the tags no monitored item watches.
    if (m_monitoredItems.load(std::memory_order_relaxed) == 0) return;
    if (slot.watchers.load(std::memory_order_seq_cst) == 0) return;
    try {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_changed.push_back(tag);
    } catch (...) {
        // Out of memory: the monitored items sample again on their own.
    }
}

void UaAddressSpace::ShapeChanged() noexcept { ShapeChangedIn(ShapeScope::Everything()); }

void UaAddressSpace::ShapeChangedIn(const ShapeScope& scope) noexcept {
    try {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (!m_everything) {
            if (scope.kind == ShapeScope::Kind::Everything || m_scopes.size() >= kMostScopes) {
                // Past this many places, one walk of everything costs no more.
                m_everything = true;
                m_scopes.clear();
            } else if (std::none_of(m_scopes.begin(), m_scopes.end(), [&scope](const ShapeScope& queued) {
                           return queued.kind == scope.kind && queued.group == scope.group &&
                                  queued.removed == scope.removed;
                       })) {
                m_scopes.push_back(scope);
            }
        }
    } catch (...) {
        // Out of memory: the next pump walks everything.
        m_scopeLost.store(true, std::memory_order_release);
    }
    m_shapeChanged.store(true, std::memory_order_release);
}

void UaAddressSpace::Build(UA_Server* server) {
    // Each start has a server of its own: the nodes of the one before went with it.
    m_tags.clear();
    m_byTag.clear();
    m_folders.clear();
    m_rootFolder = std::make_unique<Folder>();
    m_monitored.clear();
    m_pollingKeys.clear();
    ForgetWatches();
    m_monitoredItems = 0;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_changed.clear();
        m_scopes.clear();
        m_everything = false;
    }
    m_server = server;
    m_namespace = UA_Server_addNamespace(server, kTagsNamespaceUri);
    AddModelChangeEventType();
    m_configuration.SetTagChangeObserver(this);
    m_attached = true;
    Synchronize();
}

UaAddressSpace::Folder* UaAddressSpace::FolderAt(const std::string& id) {
    if (id.empty()) return m_rootFolder.get();
    auto found = m_folders.find(id);
    return found == m_folders.end() ? nullptr : found->second.get();
}

bool UaAddressSpace::Known(const std::string& id, const OPCS_TagGroup* group, const Listing& listing) const {
    auto found = m_folders.find(id);
    return found != m_folders.end() && found->second->group == group && listing.dropped.count(id) == 0;
}

std::unique_ptr<UaAddressSpace::TagRecord> UaAddressSpace::RecordOf(OPCS_Tag* tag, const std::string& parent,
                                                                    const std::wstring& prefix, bool control,
                                                                    unsigned long long shape) {
    auto record = std::make_unique<TagRecord>();
    record->owner = this;
    record->tag = tag;
    record->id = ToUtf8(prefix + tag->GetName());
    record->parent = parent;
    record->description = ToUtf8(tag->GetDescription());
    record->descriptionHash = std::hash<std::string>()(record->description);
    record->type = tag->GetDataType();
    record->access = tag->GetAccessMode();
    // Arrays keep no history: the store holds scalars.
    record->historized = tag->IsHistorized() && (record->type & VT_ARRAY) == 0;
    const TagDeadband limits = tag->GetDeadbandSettings();
    record->limitsSet = limits.limitsSet && limits.low < limits.high;
    record->low = limits.low;
    record->high = limits.high;
    record->control = control;
    record->shape = shape;
    return record;
}

void UaAddressSpace::ListMembers(Listing& listing, OPCS_TagGroup* group, const std::string& path,
                                 const std::wstring& prefix, int depth, bool control, bool deep) {
    listing.listed.insert(path);
    for (OPCS_Tag* tag : group->SnapshotTags()) {
        if (OPCS_Tag::IsValidTag(tag)) listing.tags.push_back(RecordOf(tag, path, prefix, control, listing.shape));
    }
    auto member = [&](OPCS_TagGroup* child, bool childControl) {
        const std::wstring name = child->GetName();
        std::string childPath = ToUtf8(prefix + name);
        // A folder that stays its group's keeps its members unless a scope of their own says otherwise.
        const bool known = !deep && Known(childPath, child, listing);
        Folder folder;
        folder.parent = path;
        folder.name = name;
        folder.depth = depth + 1;
        folder.group = child;
        folder.control = childControl;
        listing.folders.emplace_back(childPath, std::move(folder));
        if (!known)
            ListMembers(listing, child, childPath, prefix + name + kItemIdSeparator, depth + 1, childControl, true);
    };
    for (OPCS_TagGroup* child : group->SnapshotGroups()) {
        if (OPCS_TagGroup::IsValidGroup(child)) member(child, control);
    }
    if (group->IsDevice()) {
        if (OPCS_TagGroup* branch = m_configuration.ControlBranchOf(static_cast<OPCS_Device*>(group))) {
            member(branch, true);
        }
    }
}

void UaAddressSpace::ListDevices(Listing& listing, bool deep) {
    listing.listed.insert(std::string());
    auto top = [&](OPCS_TagGroup* group, bool control) {
        const std::wstring name = group->GetName();
        std::string path = ToUtf8(name);
        const bool known = !deep && Known(path, group, listing);
        Folder folder;
        folder.name = name;
        folder.group = group;
        folder.control = control;
        listing.folders.emplace_back(path, std::move(folder));
        if (!known) ListMembers(listing, group, path, name + kItemIdSeparator, 0, control, true);
    };
    Dll<OPCS_Device*> devices;
    m_configuration.CopyDeviceList(devices);
    for (OPCS_Device* device : devices) {
        if (OPCS_TagGroup::IsValidGroup(device)) top(device, false);
    }
    // The root's control items, unless a device bears the branch's name.
    if (OPCS_TagGroup* root = m_configuration.RootControlBranch();
        root != nullptr && m_configuration.FindDevice(kControlBranchName) == nullptr) {
        top(root, true);
    }
}

bool UaAddressSpace::ListScopes(Listing& listing, const std::vector<ShapeScope>& scopes) {
    // The folders of deleted groups go with all below them, whatever now bears their names.
    for (const ShapeScope& scope : scopes) {
        if (scope.removed == nullptr) continue;
        for (const auto& [id, folder] : m_folders) {
            if (folder->group == scope.removed) listing.dropped.insert(id);
        }
    }
    struct Target {
        int depth;
        std::string id;
        OPCS_TagGroup* group;
        std::wstring prefix;
        bool control;
    };
    std::vector<Target> targets;
    bool devices = false;
    for (const ShapeScope& scope : scopes) {
        if (scope.kind == ShapeScope::Kind::Everything) return false;
        if (scope.kind == ShapeScope::Kind::Devices) {
            devices = true;
            continue;
        }
        // A deleted group's deletion named its parent too.
        if (!OPCS_TagGroup::IsValidGroup(scope.group)) continue;
        std::vector<OPCS_TagGroup*> chain;  // the group up to its device
        for (OPCS_TagGroup* group = scope.group; group != nullptr; group = group->GetParent()) chain.push_back(group);
        OPCS_TagGroup* top = chain.back();
        if (!top->IsDevice() || static_cast<OPCS_Device*>(top)->GetConfiguration() != &m_configuration) continue;
        // The deepest group on the way whose folder is still its own: a new or
        // renamed group is listed from the folder above it.
        std::vector<std::wstring> paths(chain.size());
        for (size_t i = chain.size(); i-- > 0;) {
            const std::wstring name = chain[i]->GetName();
            paths[i] = i + 1 == chain.size() ? name : paths[i + 1] + kItemIdSeparator + name;
        }
        bool found = false;
        for (size_t i = 0; i < chain.size() && !found; ++i) {
            std::string id = ToUtf8(paths[i]);
            if (!Known(id, chain[i], listing)) continue;
            const bool control = m_folders.at(id)->control;
            targets.push_back({static_cast<int>(chain.size() - 1 - i), std::move(id), chain[i],
                               paths[i] + kItemIdSeparator, control});
            found = true;
        }
        if (!found) devices = true;
    }
    if (devices) ListDevices(listing, false);
    // Parents first: a folder listed whole on the way is not listed again.
    std::sort(targets.begin(), targets.end(), [](const Target& a, const Target& b) { return a.depth < b.depth; });
    for (const Target& target : targets) {
        if (listing.listed.count(target.id) != 0) continue;
        ListMembers(listing, target.group, target.id, target.prefix, target.depth, target.control, false);
    }
    return true;
}

void UaAddressSpace::Synchronize() {
    m_shapeChanged.store(false, std::memory_order_release);
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_scopes.clear();
        m_everything = false;
    }
    m_scopeLost.store(false, std::memory_order_release);
    Listing listing;
    {
        ScopedLock guard(m_configuration.Lock());
        listing.shape = m_configuration.ShapeVersion();
        ListDevices(listing, true);
    }
    m_wholeWalks.fetch_add(1, std::memory_order_relaxed);
    Apply(listing);
}

void UaAddressSpace::SynchronizeScopes() {
    std::vector<ShapeScope> scopes;
    bool everything;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        scopes.swap(m_scopes);
        everything = m_everything;
        m_everything = false;
    }
    everything = m_scopeLost.exchange(false, std::memory_order_acq_rel) || everything;
    Listing listing;
    if (!everything) {
        ScopedLock guard(m_configuration.Lock());
        listing.shape = m_configuration.ShapeVersion();
        everything = !ListScopes(listing, scopes);
    }
    if (everything) {
        Synchronize();
        return;
    }
    Apply(listing);
}

void UaAddressSpace::Unindex(TagRecord& record) {
    if (Folder* folder = FolderAt(record.parent);
        folder != nullptr && record.slot < folder->tags.size() && folder->tags[record.slot] == &record) {
        TagRecord* last = folder->tags.back();
        folder->tags[record.slot] = last;
        last->slot = record.slot;
        folder->tags.pop_back();
    }
    auto keyed = m_byTag.find(record.indexed);
    if (keyed != m_byTag.end() && keyed->second == &record) m_byTag.erase(keyed);
}

void UaAddressSpace::Apply(Listing& listing) {
    m_tagsListed.fetch_add(listing.tags.size(), std::memory_order_relaxed);
    std::vector<ModelChange> changes;
    // Past kMostListed the event names no node: a million of them are not kept.
    auto note = [&changes](const std::string& id, UA_Byte verb, UA_UInt32 type) {
        if (changes.size() <= kMostListed) changes.push_back({id, verb, type});
    };
    std::unordered_map<std::string_view, const Folder*> wantedFolders;
    wantedFolders.reserve(listing.folders.size());
    for (const auto& [id, folder] : listing.folders) wantedFolders.emplace(id, &folder);
    std::unordered_map<std::string_view, TagRecord*> wantedTags;
    wantedTags.reserve(listing.tags.size());
    for (auto& record : listing.tags) wantedTags.emplace(record->id, record.get());

    // What went: the members of the listed folders that are listed no more,
    // and each folder that went with everything below it.
    std::vector<TagRecord*> goneTags;
    std::vector<std::pair<int, std::string>> goneFolders;
    std::unordered_set<std::string> goneFolderIds;
    auto dropTree = [&](auto& self, const std::string& id) -> void {
        auto found = m_folders.find(id);
        if (found == m_folders.end() || !goneFolderIds.insert(id).second) return;
        const Folder& folder = *found->second;
        goneFolders.emplace_back(folder.depth, id);
        goneTags.insert(goneTags.end(), folder.tags.begin(), folder.tags.end());
        for (const std::string& child : folder.folders) self(self, child);
    };
    for (const std::string& id : listing.listed) {
        const Folder* folder = FolderAt(id);
        if (folder == nullptr) continue;
        for (TagRecord* record : folder->tags) {
            auto wanted = wantedTags.find(record->id);
            if (wanted == wantedTags.end() || !record->SameNode(*wanted->second)) goneTags.push_back(record);
        }
        for (const std::string& child : folder->folders) {
            if (wantedFolders.count(child) == 0) dropTree(dropTree, child);
        }
    }
    for (const std::string& id : listing.dropped) {
        if (wantedFolders.count(id) == 0) dropTree(dropTree, id);
    }
    std::sort(goneTags.begin(), goneTags.end());
    goneTags.erase(std::unique(goneTags.begin(), goneTags.end()), goneTags.end());

    // Tags first, then folders, deepest first.
    for (TagRecord* record : goneTags) {
        const std::string id = record->id;
        if (m_monitored.count(id) != 0) {
            // Its monitored items hear that the node is gone before it goes.
            record->gone = true;
            UA_Server_writeDataValue(m_server, StringNodeId(m_namespace, id), record->value);
            WatchChanged(id);
        }
        RemoveNode(id);
        Unindex(*record);
        m_tags.erase(id);
        note(id, kNodeDeleted | kReferenceDeleted, UA_NS0ID_BASEDATAVARIABLETYPE);
    }
    std::sort(goneFolders.begin(), goneFolders.end(), std::greater<>());
    for (const auto& [depth, id] : goneFolders) {
        RemoveNode(id);
        auto found = m_folders.find(id);
        if (Folder* parent = FolderAt(found->second->parent)) parent->folders.erase(id);
        m_folders.erase(found);
        note(id, kNodeDeleted | kReferenceDeleted, UA_NS0ID_FOLDERTYPE);
    }

    for (auto& [id, wanted] : listing.folders) {
        if (auto existing = m_folders.find(id); existing != m_folders.end()) {
            existing->second->group = wanted.group;
            existing->second->control = wanted.control;
            continue;
        }
        AddFolder(id, wanted.parent, wanted.name);
        if (Folder* parent = FolderAt(wanted.parent)) parent->folders.insert(id);
        m_folders.emplace(id, std::make_unique<Folder>(std::move(wanted)));
        note(id, kNodeAdded | kReferenceAdded, UA_NS0ID_FOLDERTYPE);
    }
    std::vector<TagRecord*> retaken;
    // A start or a file of a million tags grows the indexes once, not by doubling;
    // a small change never rehashes them.
    if (listing.tags.size() > m_tags.size() / 4 + 4096) {
        m_tags.reserve(m_tags.size() + listing.tags.size());
        m_byTag.reserve(m_byTag.size() + listing.tags.size());
    }
    for (auto& record : listing.tags) {
        auto existing = m_tags.find(record->id);
        if (existing != m_tags.end()) {
            TagRecord& kept = *existing->second;
            if (!kept.SameAttributes(*record)) UpdateAttributes(kept, *record);
            if (kept.tag != record->tag || kept.indexed != record->tag || kept.control != record->control) {
                auto keyed = m_byTag.find(kept.indexed);
                if (keyed != m_byTag.end() && keyed->second == &kept) m_byTag.erase(keyed);
                m_byTag[record->tag] = &kept;
                kept.indexed = record->tag;
                kept.tag = record->tag;
                kept.control = record->control;
                kept.fresh = false;
                retaken.push_back(&kept);
            }
            kept.shape = listing.shape;
            continue;
        }
        TagRecord* added = record.get();
        auto [slot, inserted] = m_tags.emplace(record->id, std::move(record));
        Folder* folder = inserted ? FolderAt(added->parent) : nullptr;
        if (folder == nullptr || !AddTagNode(*added)) {
            if (inserted) m_tags.erase(slot);
            continue;
        }
        std::string().swap(added->description);  // the node holds it: a million of them are worth a hash
        added->slot = folder->tags.size();
        folder->tags.push_back(added);
        added->indexed = added->tag;
        m_byTag[added->tag] = added;
        // A watched item ID that comes back is polled again.
        if (m_monitored.count(added->id) != 0) WatchChanged(added->id);
        note(added->id, kNodeAdded | kReferenceAdded, UA_NS0ID_BASEDATAVARIABLETYPE);
    }

    // A tag that another took the place of shows its own value at once.
    for (TagRecord* record : retaken) {
        if (m_monitored.count(record->id) == 0) continue;
        WatchChanged(record->id);
        bool alive;
        {
            ScopedLock guard(m_configuration.Lock());
            alive = RefreshLocked(*record);
        }
        if (alive) UA_Server_writeDataValue(m_server, StringNodeId(m_namespace, record->id), record->value);
    }
    if (!changes.empty()) {
        ++m_nodesVersion;
        RaiseModelChange(changes);
    }
}

void UaAddressSpace::AddFolder(const std::string& id, const std::string& parent, const std::wstring& name) {
    UA_ObjectAttributes attributes = UA_ObjectAttributes_default;
    const BorrowedText text(name);
    attributes.displayName = text.Localized();
    const UA_NodeId parentId =
        parent.empty() ? UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER) : StringNodeId(m_namespace, parent);
    UA_QualifiedName browseName;
    browseName.namespaceIndex = m_namespace;
    browseName.name = text.String();
    UA_Server_addObjectNode(m_server, StringNodeId(m_namespace, id), parentId, UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
                            browseName, UA_NODEID_NUMERIC(0, UA_NS0ID_FOLDERTYPE), attributes, nullptr, nullptr);
}

bool UaAddressSpace::AddTagNode(TagRecord& record) {
    UA_VariableAttributes attributes = UA_VariableAttributes_default;
    attributes.displayName = BorrowedLocalizedText(record.Name());
    attributes.description = BorrowedLocalizedText(record.description);
    attributes.dataType = DataTypeIdOf(record.type);
    attributes.valueRank = ValueRankOf(record.type);
    attributes.accessLevel = AccessLevelOf(record.access, record.historized);
    attributes.historizing = record.historized;
    attributes.userAccessLevel = attributes.accessLevel;
    // Changes are pushed as they happen: any sampling interval is served.
    attributes.minimumSamplingInterval = 0;
    const UA_NodeId nodeId = StringNodeId(m_namespace, record.id);
    UA_QualifiedName browseName;
    browseName.namespaceIndex = m_namespace;
    browseName.name = BorrowedString(record.Name());  // the tail of the ID: its NUL follows
    const UA_NodeId type = TypeDefinitionOf(record.limitsSet).nodeId;
    UA_StatusCode status = UA_Server_addVariableNode(m_server, nodeId, StringNodeId(m_namespace, record.parent),
                                                     UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT), browseName, type,
                                                     attributes, &record, nullptr);
    if (status != UA_STATUSCODE_GOOD) return false;
    if (record.limitsSet) WriteRange(nodeId, record);
    UA_ValueBackend backend;
    std::memset(&backend, 0, sizeof backend);
    backend.backendType = UA_VALUEBACKENDTYPE_EXTERNAL;
    backend.backend.external.value = &record.valuePointer;
    backend.backend.external.callback.notificationRead = &UaAddressSpace::OnRead;
    backend.backend.external.callback.userWrite = &UaAddressSpace::OnWrite;
    UA_Server_setVariableNode_valueBackend(m_server, nodeId, backend);
    // Keeps the source timestamp of a client's write visible to OnWrite, which decides on it.
    UA_Server_setVariableNodeDynamic(m_server, nodeId, true);
    return true;
}

void UaAddressSpace::UpdateAttributes(TagRecord& kept, const TagRecord& wanted) {
    const UA_NodeId nodeId = StringNodeId(m_namespace, kept.id);
    if (wanted.descriptionHash != kept.descriptionHash) {
        UA_Server_writeDescription(m_server, nodeId, BorrowedLocalizedText(wanted.description));
    }
    if (wanted.access != kept.access || wanted.historized != kept.historized) {
        UA_Server_writeAccessLevel(m_server, nodeId, AccessLevelOf(wanted.access, wanted.historized));
    }
    // The reference to the history's configuration follows the record (the node store makes it).
    if (wanted.historized != kept.historized) UA_Server_writeHistorizing(m_server, nodeId, wanted.historized);
    if (wanted.type != kept.type) {
        UA_Server_writeDataType(m_server, nodeId, DataTypeIdOf(wanted.type));
        UA_Server_writeValueRank(m_server, nodeId, ValueRankOf(wanted.type));
        kept.fresh = false;  // the value is read again in its new type
    }
    if (wanted.limitsSet != kept.limitsSet) {
        // The type definition follows the limits in place, so that monitored items survive.
        const UA_NodeId hasType = UA_NODEID_NUMERIC(0, UA_NS0ID_HASTYPEDEFINITION);
        UA_Server_deleteReference(m_server, nodeId, hasType, true, TypeDefinitionOf(kept.limitsSet), true);
        UA_Server_addReference(m_server, nodeId, hasType, TypeDefinitionOf(wanted.limitsSet), true);
        if (wanted.limitsSet) {
            WriteRange(nodeId, wanted);
        } else {
            RemoveRange(nodeId);
        }
    } else if (wanted.limitsSet && (wanted.low != kept.low || wanted.high != kept.high)) {
        WriteRange(nodeId, wanted);
    }
    kept.limitsSet = wanted.limitsSet;
    kept.descriptionHash = wanted.descriptionHash;
    kept.access = wanted.access;
    kept.historized = wanted.historized;
    kept.type = wanted.type;
    kept.low = wanted.low;
    kept.high = wanted.high;
}

std::optional<bool> UaAddressSpace::SteppedHistoryOf(const std::string& itemId) const {
    auto record = m_tags.find(itemId);
    if (record == m_tags.end() || record->second->gone || !record->second->historized) return std::nullopt;
    return SteppedType(record->second->type);
}

UaHistoryNode UaAddressSpace::HistoryOf(const std::string& itemId) {
    UaHistoryNode node;
    auto record = m_tags.find(itemId);
    if (record == m_tags.end() || record->second->gone) return node;
    ScopedLock guard(m_configuration.Lock());
    OPCS_Tag* tag = TagOfLocked(*record->second);
    if (tag == nullptr) return node;
    node.found = true;
    const VARTYPE type = tag->GetDataType();
    if ((type & VT_ARRAY) != 0 || !tag->IsHistorized()) return node;
    node.series = tag->History();
    node.type = UaTypeOf(type);
    return node;
}

void UaAddressSpace::WriteRange(const UA_NodeId& nodeId, const TagRecord& record) {
    UA_Range range{record.low, record.high};
    UA_QualifiedName euRange = UA_QUALIFIEDNAME(0, const_cast<char*>("EURange"));
    UA_BrowsePathResult found = UA_Server_browseSimplifiedBrowsePath(m_server, nodeId, 1, &euRange);
    if (found.statusCode == UA_STATUSCODE_GOOD && found.targetsSize > 0) {
        UA_Variant value;
        UA_Variant_setScalar(&value, &range, &UA_TYPES[UA_TYPES_RANGE]);
        UA_Server_writeValue(m_server, found.targets[0].targetId.nodeId, value);
    } else {
        UA_VariableAttributes property = UA_VariableAttributes_default;
        UA_Variant_setScalar(&property.value, &range, &UA_TYPES[UA_TYPES_RANGE]);
        property.dataType = UA_TYPES[UA_TYPES_RANGE].typeId;
        property.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("EURange"));
        UA_Server_addVariableNode(m_server, UA_NODEID_NULL, nodeId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASPROPERTY), euRange,
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_PROPERTYTYPE), property, nullptr, nullptr);
    }
    UA_BrowsePathResult_clear(&found);
}

void UaAddressSpace::RemoveRange(const UA_NodeId& nodeId) {
    UA_QualifiedName euRange = UA_QUALIFIEDNAME(0, const_cast<char*>("EURange"));
    UA_BrowsePathResult found = UA_Server_browseSimplifiedBrowsePath(m_server, nodeId, 1, &euRange);
    if (found.statusCode == UA_STATUSCODE_GOOD && found.targetsSize > 0) {
        UA_Server_deleteNode(m_server, found.targets[0].targetId.nodeId, true);
    }
    UA_BrowsePathResult_clear(&found);
}

void UaAddressSpace::RemoveNode(const std::string& id) {
    UA_Server_deleteNode(m_server, StringNodeId(m_namespace, id), true);
}

void UaAddressSpace::AddModelChangeEventType() {
    // The stack's reduced namespace zero lacks the model change events; they
    // get their standard NodeIds, so clients that know them find them. Each
    // addition that is there already is refused harmlessly.
    auto text = [](const char* s) { return UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(s)); };
    auto name = [](const char* s) { return UA_QUALIFIEDNAME(0, const_cast<char*>(s)); };
    const UA_NodeId hasSubtype = UA_NODEID_NUMERIC(0, UA_NS0ID_HASSUBTYPE);
    UA_ObjectTypeAttributes type = UA_ObjectTypeAttributes_default;
    type.displayName = text("BaseModelChangeEventType");
    type.isAbstract = true;
    UA_Server_addObjectTypeNode(m_server, UA_NODEID_NUMERIC(0, kBaseModelChangeEventType),
                                UA_NODEID_NUMERIC(0, UA_NS0ID_BASEEVENTTYPE), hasSubtype,
                                name("BaseModelChangeEventType"), type, nullptr, nullptr);
    type.displayName = text("GeneralModelChangeEventType");
    type.isAbstract = false;
    UA_Server_addObjectTypeNode(m_server, UA_NODEID_NUMERIC(0, kGeneralModelChangeEventType),
                                UA_NODEID_NUMERIC(0, kBaseModelChangeEventType), hasSubtype,
                                name("GeneralModelChangeEventType"), type, nullptr, nullptr);
    UA_DataTypeAttributes dataType = UA_DataTypeAttributes_default;
    dataType.displayName = text("ModelChangeStructureDataType");
    UA_Server_addDataTypeNode(m_server, UA_TYPES[UA_TYPES_MODELCHANGESTRUCTUREDATATYPE].typeId,
                              UA_NODEID_NUMERIC(0, UA_NS0ID_STRUCTURE), hasSubtype,
                              name("ModelChangeStructureDataType"), dataType, nullptr, nullptr);
    UA_VariableAttributes changes = UA_VariableAttributes_default;
    changes.displayName = text("Changes");
    changes.dataType = UA_TYPES[UA_TYPES_MODELCHANGESTRUCTUREDATATYPE].typeId;
    changes.valueRank = UA_VALUERANK_ONE_DIMENSION;
    const UA_NodeId changesId = UA_NODEID_NUMERIC(0, kGeneralModelChangeEventTypeChanges);
    if (UA_Server_addVariableNode(m_server, changesId, UA_NODEID_NUMERIC(0, kGeneralModelChangeEventType),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_HASPROPERTY), name("Changes"),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_PROPERTYTYPE), changes, nullptr,
                                  nullptr) == UA_STATUSCODE_GOOD) {
        UA_Server_addReference(m_server, changesId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASMODELLINGRULE),
                               UA_EXPANDEDNODEID_NUMERIC(0, UA_NS0ID_MODELLINGRULE_MANDATORY), true);
    }
    // Clients subscribe to the Server object for the events.
    UA_Server_writeEventNotifier(m_server, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER), UA_EVENTNOTIFIER_SUBSCRIBE_TO_EVENT);
}

void UaAddressSpace::RaiseModelChange(const std::vector<ModelChange>& changes) {
    UA_NodeId event;
    if (UA_Server_createEvent(m_server, UA_NODEID_NUMERIC(0, kGeneralModelChangeEventType), &event) !=
        UA_STATUSCODE_GOOD) {
        return;
    }
    // Past kMostListed, one change of the Objects folder's references says "much changed".
    std::vector<UA_ModelChangeStructureDataType> list;
    if (changes.size() <= kMostListed) {
        for (const ModelChange& made : changes) {
            UA_ModelChangeStructureDataType change;
            UA_ModelChangeStructureDataType_init(&change);
            change.affected = StringNodeId(m_namespace, made.id);
            change.affectedType = UA_NODEID_NUMERIC(0, made.type);
            change.verb = made.verb;
            list.push_back(change);
        }
    } else {
        UA_ModelChangeStructureDataType change;
        UA_ModelChangeStructureDataType_init(&change);
        change.affected = UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER);
        change.affectedType = UA_NODEID_NUMERIC(0, UA_NS0ID_FOLDERTYPE);
        change.verb = kReferenceAdded | kReferenceDeleted;
        list.push_back(change);
    }
    UA_Variant value;
    UA_Variant_setArray(&value, list.data(), list.size(), &UA_TYPES[UA_TYPES_MODELCHANGESTRUCTUREDATATYPE]);
    UA_Server_writeObjectProperty(m_server, event, UA_QUALIFIEDNAME(0, const_cast<char*>("Changes")), value);
    UA_UInt16 severity = 100;
    UA_Server_writeObjectProperty_scalar(m_server, event, UA_QUALIFIEDNAME(0, const_cast<char*>("Severity")), &severity,
                                         &UA_TYPES[UA_TYPES_UINT16]);
    UA_LocalizedText message = UA_LOCALIZEDTEXT(const_cast<char*>("en"), const_cast<char*>("The tags changed."));
    UA_Server_writeObjectProperty_scalar(m_server, event, UA_QUALIFIEDNAME(0, const_cast<char*>("Message")), &message,
                                         &UA_TYPES[UA_TYPES_LOCALIZEDTEXT]);
    UA_String source = UA_STRING(const_cast<char*>("Server"));
    UA_Server_writeObjectProperty_scalar(m_server, event, UA_QUALIFIEDNAME(0, const_cast<char*>("SourceName")), &source,
                                         &UA_TYPES[UA_TYPES_STRING]);
    UA_Server_triggerEvent(m_server, event, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER), nullptr, true);
}

OPCS_Tag* UaAddressSpace::TagOfLocked(TagRecord& record) {
    if (record.shape == m_configuration.ShapeVersion()) return record.tag;
    // The shape moved since the pointer was taken: look the item up again.
    OPCS_Tag* tag = m_configuration.FindTag(FromUtf8(record.id));
    if (tag == nullptr) return nullptr;
    // Another tag under the same item ID: its change count says nothing of the value held.
    if (tag != record.tag) record.fresh = false;
    record.tag = tag;
    record.shape = m_configuration.ShapeVersion();
    return tag;
}

void UaAddressSpace::StoreValue(TagRecord& record, const TagState& state) {
    UA_DataValue fresh;
    UA_DataValue_init(&fresh);
    const VARIANT& raw = state.value.Ref();
    bool converted;
    if (V_VT(&raw) == record.type || record.type == VT_EMPTY) {
        converted = ToUaVariant(raw, fresh.value);
    } else {
        HRESULT result = S_OK;
        const Variant canonical = state.value.ConvertedTo(record.type, &result);
        converted = SUCCEEDED(result) && ToUaVariant(canonical.Ref(), fresh.value);
    }
    fresh.hasValue = converted;
    fresh.status = StatusOfQuality(state.quality);
    fresh.hasStatus = fresh.status != UA_STATUSCODE_GOOD;
    ULARGE_INTEGER ticks;
    ticks.LowPart = state.timestamp.dwLowDateTime;
    ticks.HighPart = state.timestamp.dwHighDateTime;
    fresh.sourceTimestamp = static_cast<UA_DateTime>(ticks.QuadPart);
    fresh.hasSourceTimestamp = ticks.QuadPart != 0;
    UA_DataValue_clear(&record.value);
    record.value = fresh;
}

bool UaAddressSpace::RefreshLocked(TagRecord& record) {
    if (record.gone) return false;
    OPCS_Tag* tag = TagOfLocked(record);
    if (tag == nullptr) return false;
    if (record.control) tag->RefreshBeforeRead();
    const DWORD changes = tag->GetChangeCount();
    if (record.fresh && changes == record.changeCount && !record.control) return true;
    StoreValue(record, tag->GetState());
    record.changeCount = changes;
    record.fresh = true;
    return true;
}

UA_StatusCode UaAddressSpace::OnRead(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void* nodeContext,
                                     const UA_NumericRange*) {
    TagRecord* record = static_cast<TagRecord*>(nodeContext);
    if (record == nullptr) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    UaAddressSpace& self = *record->owner;
    // No tag changed since the record was brought up to date, and none came
    // or went: its value is the tag's, and the configuration is not touched.
    // The tag's address names its slot: it is not followed before the lock.
    const unsigned long long epoch = self.m_slots[WatchSlot(record->tag)].changes.load(std::memory_order_acquire);
    if (record->fresh && !record->control && !record->gone && record->epoch == epoch &&
        record->shape == self.m_configuration.ShapeVersion()) {
        return UA_STATUSCODE_GOOD;
    }
    ScopedLock guard(self.m_configuration.Lock());
    if (!self.RefreshLocked(*record)) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    // Taken before the refresh, so that a change during it makes the next read look again.
    record->epoch = epoch;
    return UA_STATUSCODE_GOOD;
}

UA_StatusCode UaAddressSpace::OnWrite(UA_Server*, const UA_NodeId* sessionId, void*, const UA_NodeId*,
                                      void* nodeContext, const UA_NumericRange* range, const UA_DataValue* value) {
    TagRecord* record = static_cast<TagRecord*>(nodeContext);
    if (record == nullptr || value == nullptr) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    // The server's own writes only wake the monitored items: the value is the record's already.
    if (IsAdminSession(sessionId)) return UA_STATUSCODE_GOOD;
    if (range != nullptr) return UA_STATUSCODE_BADWRITENOTSUPPORTED;
    return record->owner->ClientWrite(*record, *value);
}

UA_StatusCode UaAddressSpace::ClientWrite(TagRecord& record, const UA_DataValue& value) {
    // The server's timestamp is its own, and a DA time holds no picoseconds.
    if (value.hasServerTimestamp || value.hasSourcePicoseconds || value.hasServerPicoseconds) {
        return UA_STATUSCODE_BADWRITENOTSUPPORTED;
    }
    // A status or source time only where the option lets clients write them;
    // a value always comes with them, as in DA.
    const bool qualified = value.hasStatus || value.hasSourceTimestamp;
    if (qualified && !m_configuration.ClientQualityWritesAllowed()) return UA_STATUSCODE_BADWRITENOTSUPPORTED;
    if (!value.hasValue || value.value.type == nullptr) return UA_STATUSCODE_BADTYPEMISMATCH;
    const WORD quality = value.hasStatus ? QualityOfStatus(value.status) : OPC_QUALITY_GOOD;
    // UA times count the FILETIME's ticks from its epoch; one before it keeps its sign bit, which the tag refuses.
    const auto ticks = static_cast<ULONGLONG>(value.sourceTimestamp);
    const FILETIME timestamp{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    Variant written;
    const HRESULT converted = FromUaVariant(value.value, written);
    if (FAILED(converted)) return StatusOfWriteResult(converted);
    HRESULT result;
    {
        ScopedLock guard(m_configuration.Lock());
        OPCS_Tag* tag = TagOfLocked(record);
        if (tag == nullptr) return UA_STATUSCODE_BADNODEIDUNKNOWN;
        // Whether the value fits its type is decided before anything is
        // applied: the tag keeps its value when the conversion fails.
        HRESULT fits = S_OK;
        written.ConvertedTo(record.type, &fits);
        if (FAILED(fits)) return StatusOfWriteResult(fits == DISP_E_OVERFLOW ? fits : DISP_E_TYPEMISMATCH);
        result = tag->ClientWriteVqt(written, value.hasStatus ? &quality : nullptr,
                                     value.hasSourceTimestamp ? &timestamp : nullptr);
        RefreshLocked(record);
    }
    return StatusOfWriteResult(result);
}

void UaAddressSpace::MonitoredItemRegistered(const UA_NodeId& nodeId, bool removed) {
    if (nodeId.namespaceIndex != m_namespace || nodeId.identifierType != UA_NODEIDTYPE_STRING) return;
    std::string key = NodeKey(nodeId);
    if (removed) {
        auto entry = m_monitored.find(key);
        if (entry == m_monitored.end()) return;
        if (--entry->second <= 0) {
            m_monitored.erase(entry);
            WatchChanged(std::move(key));
        }
        m_monitoredItems.fetch_sub(1, std::memory_order_relaxed);
    } else {
        if (++m_monitored[key] == 1) WatchChanged(std::move(key));
        m_monitoredItems.fetch_add(1, std::memory_order_relaxed);
    }
}

void UaAddressSpace::WatchChanged(std::string key) {
    m_pollingKeys.push_back(std::move(key));
    m_pollingDirty = true;
}

size_t UaAddressSpace::WatchSlot(const OPCS_Tag* tag) noexcept {
    // Fibonacci hashing of the address, whose low bits are always zero.
    return static_cast<size_t>((reinterpret_cast<std::uintptr_t>(tag) >> 4) * 0x9E3779B97F4A7C15ULL >>
                               (64 - kWatchSlotBits));
}

void UaAddressSpace::UpdatePolling() {
    m_pollingDirty = false;
    std::vector<std::string> keys;
    keys.swap(m_pollingKeys);
    std::vector<TagRecord*> due;
    {
        // Only the item IDs whose watch began or ended, or whose node came or
        // went: 100,000 monitored items made in batches look each up once.
        ScopedLock guard(m_configuration.Lock());
        for (const std::string& key : keys) {
            if (auto held = m_watched.find(key); held != m_watched.end()) {
                m_slots[WatchSlot(held->second.tag)].watchers.fetch_sub(1, std::memory_order_relaxed);
                if (held->second.device != nullptr && --m_watchers[held->second.device] <= 0) {
                    m_watchers.erase(held->second.device);
                }
                m_watched.erase(held);
            }
            if (m_monitored.count(key) == 0) continue;
            auto record = m_tags.find(key);
            if (record == m_tags.end() || record->second->gone) continue;  // a folder, or a node that went
            OPCS_Tag* tag = TagOfLocked(*record->second);
            if (tag == nullptr) continue;
            OPCS_TagGroup* owner = tag->GetOwner();
            // A control item's branch has no device: nothing of it polls.
            OPCS_Device* device = OPCS_TagGroup::IsValidGroup(owner) ? owner->GetDevice() : nullptr;
            m_watched.emplace(key, Watch{tag, device});
            if (device != nullptr) ++m_watchers[device];
            // From here its changes are queued; one made before is caught now.
            m_slots[WatchSlot(tag)].watchers.fetch_add(1, std::memory_order_seq_cst);
            const DWORD seen = record->second->changeCount;
            if (record->second->fresh && RefreshLocked(*record->second) && record->second->changeCount != seen) {
                due.push_back(record->second.get());
            }
        }
    }
    for (TagRecord* record : due) {
        UA_Server_writeDataValue(m_server, StringNodeId(m_namespace, record->id), record->value);
    }
    // The device's own lock is taken outside the configuration's.
    for (auto held = m_polling.begin(); held != m_polling.end();) {
        if (m_watchers.count(*held) != 0) {
            ++held;
            continue;
        }
        if (OPCS_TagGroup::IsValidGroup(*held)) (*held)->RequestPollStop(kPollOpcItems);
        held = m_polling.erase(held);
    }
    for (const auto& [device, count] : m_watchers) {
        if (m_polling.count(device) != 0) continue;
        if (OPCS_TagGroup::IsValidGroup(device) && device->RequestPollStart(kPollOpcItems) != 0) {
            m_polling.insert(device);
        }
    }
}

void UaAddressSpace::ForgetWatches() {
    for (const auto& [key, watch] : m_watched) {
        m_slots[WatchSlot(watch.tag)].watchers.fetch_sub(1, std::memory_order_relaxed);
    }
    m_watched.clear();
    m_watchers.clear();
}

void UaAddressSpace::ReleasePolling() {
    for (OPCS_Device* device : m_polling) {
        if (OPCS_TagGroup::IsValidGroup(device)) device->RequestPollStop(kPollOpcItems);
    }
    m_polling.clear();
    m_pollingKeys.clear();
    ForgetWatches();
    m_pollingDirty = false;
}

void UaAddressSpace::Pump() {
    if (m_server == nullptr) return;
    if (m_shapeChanged.exchange(false, std::memory_order_acq_rel)) {
        const auto start = std::chrono::steady_clock::now();
        SynchronizeScopes();
        const auto spent = std::chrono::steady_clock::now() - start;
        m_shapeMicros.fetch_add(std::chrono::duration_cast<std::chrono::microseconds>(spent).count(),
                                std::memory_order_release);
        m_shapeSyncs.fetch_add(1, std::memory_order_release);
    }
    if (m_pollingDirty) UpdatePolling();
    std::vector<OPCS_Tag*> changed;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        changed.swap(m_changed);
    }
    if (changed.empty()) return;
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    std::vector<TagRecord*> due;
    {
        ScopedLock guard(m_configuration.Lock());
        // A pointer from the queue is only looked up, never followed: the
        // record's own pointer is checked against the shape.
        for (OPCS_Tag* tag : changed) {
            auto found = m_byTag.find(tag);
            if (found == m_byTag.end() || m_monitored.count(found->second->id) == 0) continue;
            if (RefreshLocked(*found->second)) due.push_back(found->second);
        }
    }
    // Outside the configuration lock: the monitored items compare and queue.
    for (TagRecord* record : due) {
        UA_Server_writeDataValue(m_server, StringNodeId(m_namespace, record->id), record->value);
    }
}
