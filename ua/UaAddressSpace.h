#pragma once
// The tags as OPC UA nodes: devices and groups are folders, tags are
// variables whose NodeId is the DA item ID. Follows the configuration's
// shape and pushes tag changes to the monitored items. Every member runs on
// the endpoint's one server thread; only TagChanged and ShapeChanged come
// from other threads.
#include "UaLibrary.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Configuration.h"
#include "UaHistory.h"

class OPCS_Device;
class OPCS_Tag;

inline constexpr char kTagsNamespaceUri[] = "urn:Zelkor:ToviExplorer:Tags";

class UaAddressSpace : public TagChangeObserver {
public:
    explicit UaAddressSpace(Configuration& configuration);
    ~UaAddressSpace() override;
    UaAddressSpace(const UaAddressSpace&) = delete;
    UaAddressSpace& operator=(const UaAddressSpace&) = delete;

    // Adds the namespace and every node; the server has started.
    void Build(UA_Server* server);
    // Brings the nodes to the configuration's shape when it changed and hands
    // the tags that changed to their monitored items.
    void Pump();
    // Stops listening to the configuration and lets go of the devices'
    // polling (before the server goes).
    void Detach();

    UA_UInt16 NamespaceIndex() const noexcept { return m_namespace; }
    size_t TagNodeCount() const noexcept { return m_tags.size(); }
    // Moves whenever nodes were added or deleted (server thread).
    unsigned long long NodesVersion() const noexcept { return m_nodesVersion; }
    // What following the shape has cost so far: the tags listed from the
    // configuration, and the walks of all of it (read from any thread).
    unsigned long long TagsListed() const noexcept { return m_tagsListed.load(std::memory_order_relaxed); }
    unsigned long WholeWalks() const noexcept { return m_wholeWalks.load(std::memory_order_relaxed); }
    // The pumps that followed a change of shape, and their time in all.
    unsigned long ShapeSyncs() const noexcept { return m_shapeSyncs.load(std::memory_order_acquire); }
    unsigned long long ShapeMicros() const noexcept { return m_shapeMicros.load(std::memory_order_acquire); }
    // Some monitored item of a tag waits for its changes.
    bool Watched() const noexcept { return m_monitoredItems.load(std::memory_order_relaxed) > 0; }

    // TagChangeObserver: only queue.
    void TagChanged(OPCS_Tag* tag) noexcept override;
    void ShapeChanged() noexcept override;
    void ShapeChangedIn(const ShapeScope& scope) noexcept override;

    // A tag's history as the history service reads it (endpoint thread).
    UaHistoryNode HistoryOf(const std::string& itemId);
    // Whether a tag's history is stepped; nothing when it keeps none.
    std::optional<bool> SteppedHistoryOf(const std::string& itemId) const;

    // The server's hooks, forwarded by the endpoint.
    void MonitoredItemRegistered(const UA_NodeId& nodeId, bool removed);

    struct TagRecord;
    struct Folder;

private:
    struct Listing;
    // Brings every node to the configuration (a start, a file, or too many
    // places changed at once).
    void Synchronize();
    // Brings the folders that the queued scopes name, and only those.
    void SynchronizeScopes();
    // What the configuration holds (its lock held by the caller): the device
    // list's members, each group's members, and all below any folder that is
    // new or no longer its group's; everything when `deep`.
    void ListDevices(Listing& listing, bool deep);
    void ListMembers(Listing& listing, OPCS_TagGroup* group, const std::string& path, const std::wstring& prefix,
                     int depth, bool control, bool deep);
    // False when a scope asks for everything.
    bool ListScopes(Listing& listing, const std::vector<ShapeScope>& scopes);
    std::unique_ptr<TagRecord> RecordOf(OPCS_Tag* tag, const std::string& parent, const std::wstring& prefix,
                                        bool control, unsigned long long shape);
    // The folder `id` has a node and is still the folder of `group`.
    bool Known(const std::string& id, const OPCS_TagGroup* group, const Listing& listing) const;
    Folder* FolderAt(const std::string& id);  // "" is the Objects folder
    // Brings the nodes of the listed folders to the listing.
    void Apply(Listing& listing);
    void Unindex(TagRecord& record);
    void AddFolder(const std::string& id, const std::string& parent, const std::wstring& name);
    bool AddTagNode(TagRecord& record);
    void UpdateAttributes(TagRecord& kept, const TagRecord& wanted);
    void WriteRange(const UA_NodeId& nodeId, const TagRecord& record);
    void RemoveRange(const UA_NodeId& nodeId);
    void RemoveNode(const std::string& id);
    void AddModelChangeEventType();
    // One node added or deleted, for the model change event.
    struct ModelChange {
        std::string id;
        UA_Byte verb;
        UA_UInt32 type;  // its type definition in namespace zero
    };
    void RaiseModelChange(const std::vector<ModelChange>& changes);
    // Reads the tag into the record's value when it changed (configuration
    // lock held by the caller); false when the tag is gone.
    bool RefreshLocked(TagRecord& record);
    OPCS_Tag* TagOfLocked(TagRecord& record);
    void StoreValue(TagRecord& record, const TagState& state);

    static UA_StatusCode OnRead(UA_Server* server, const UA_NodeId* sessionId, void* sessionContext,
                                const UA_NodeId* nodeId, void* nodeContext, const UA_NumericRange* range);
    static UA_StatusCode OnWrite(UA_Server* server, const UA_NodeId* sessionId, void* sessionContext,
                                 const UA_NodeId* nodeId, void* nodeContext, const UA_NumericRange* range,
                                 const UA_DataValue* value);
    UA_StatusCode ClientWrite(TagRecord& record, const UA_DataValue& value);
    // A device with a monitored tag polls, as for a DA client's active item:
    // one request per device, held while any of its tags' nodes is watched.
    void UpdatePolling();
    void ReleasePolling();
    // The watch of an item ID began or ended, or its node came or went.
    void WatchChanged(std::string key);
    void ForgetWatches();

    Configuration& m_configuration;
    UA_Server* m_server = nullptr;
    UA_UInt16 m_namespace = 0;
    unsigned long long m_nodesVersion = 0;
    // By item ID (UTF-8): the key is the record's own `id`.
    std::unordered_map<std::string_view, std::unique_ptr<TagRecord>> m_tags;
    std::unordered_map<OPCS_Tag*, TagRecord*> m_byTag;
    std::unordered_map<std::string, std::unique_ptr<Folder>> m_folders;  // by item path (UTF-8)
    std::unique_ptr<Folder> m_rootFolder;                                // the devices' folders
    std::unordered_map<std::string, int> m_monitored;                    // monitored items per node
    std::atomic<long> m_monitoredItems{0};
    bool m_pollingDirty = false;                 // which nodes are watched, or the nodes, changed
    std::unordered_set<OPCS_Device*> m_polling;  // the devices this endpoint asked to poll
    std::vector<std::string> m_pollingKeys;      // item IDs to look at again
    struct Watch {
        OPCS_Tag* tag;
        OPCS_Device* device;  // null for a control item
    };
    std::unordered_map<std::string, Watch> m_watched;   // by item ID
    std::unordered_map<OPCS_Device*, long> m_watchers;  // watched tags per device
    // Per slot of a tag's address, for TagChanged on any thread without a
    // lock: how many of its tags are watched (a tag in an empty slot is not),
    // and how often they changed, which a read compares with its record's
    // without the configuration. Poll threads changing different tags meet
    // in no shared counter, and a change leaves the reads of most tags alone.
    struct Slot {
        std::atomic<std::uint32_t> watchers{0};
        std::atomic<std::uint32_t> changes{0};
    };
    static constexpr int kWatchSlotBits = 20;
    static size_t WatchSlot(const OPCS_Tag* tag) noexcept;
    std::unique_ptr<Slot[]> m_slots;

    std::mutex m_queueLock;  // leaf lock: guards m_changed, m_scopes and m_everything
    std::vector<OPCS_Tag*> m_changed;
    static constexpr size_t kMostScopes = 256;
    std::vector<ShapeScope> m_scopes;  // where the shape changed since the last pump
    bool m_everything = false;         // or anywhere
    std::atomic<bool> m_scopeLost{false};
    std::atomic<unsigned long long> m_tagsListed{0};
    std::atomic<unsigned long> m_wholeWalks{0};
    std::atomic<unsigned long long> m_shapeMicros{0};
    std::atomic<unsigned long> m_shapeSyncs{0};
    std::atomic<bool> m_shapeChanged{false};
    std::atomic<bool> m_attached{false};
};
