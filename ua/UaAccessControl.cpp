// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaAccessControl.h"

#include <bcrypt.h>
#include <mbedtls/md.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

#include "EventLog.h"
#include "Text.h"
#include "UaMapping.h"

// What a session is allowed, kept as the stack's session context.
struct UaAccessControl::Session {
    UA_NodeId id = UA_NODEID_NULL;  // owned
    std::wstring address;
    std::wstring user;  // empty for anonymous
    bool anonymous = true;
    // 0 while the session has no role (its user was removed: it is being closed).
    std::atomic<std::uint32_t> role{0};

    ~Session() { UA_NodeId_clear(&id); }
};

// One client connection of the TCP connection manager (its id is the socket).
struct UaAccessControl::Connection {
    std::wstring address;
    std::string key;        // failed logins are counted by this: the IPv4 address, the IPv6 /64
    bool loopback = false;  // 127.0.0.0/8 or ::1
    bool admitted = false;  // some session was let in over it
    // Sessions refused here and never let in: only this channel could activate
    // them, so they go with it rather than wait out their timeout in the
    // server's few places for sessions.
    std::vector<UA_NodeId> refused;
    struct Held {
        std::uint64_t due;
        UA_ByteString buffer;
    };
    std::deque<Held> held;  // answers that wait, in the order they were sent

    ~Connection() {
        for (Held& message : held) UA_ByteString_clear(&message.buffer);
        for (UA_NodeId& id : refused) UA_NodeId_clear(&id);
    }
};

namespace {
// A user name longer than this, or a password, is no user's: it is checked
// (for the time it costs) cut short, and refused.
constexpr size_t kMostNameBytes = 256;
constexpr size_t kMostPasswordBytes = 1024;
constexpr size_t kMostAuditChars = 64;
// Past this many failures from one address, one line per longest delay tells the rest.
constexpr unsigned kFailuresLoggedEach = 5;
constexpr size_t kMostPenalties = 4096;
constexpr size_t kMostRemembered = 1024;
constexpr size_t kMostSessionsRefusedPerChannel = 64;  // the sweep takes any more
// A session not activated this long after it was made is closed: a client
// activates it at once, or never.
constexpr UA_DateTime kMostUnactivated = 10 * UA_DATETIME_SEC;
constexpr double kSweepIntervalMs = 5000;
// Bits of AccessLevel a Read session never has: CurrentWrite, HistoryWrite,
// StatusWrite and TimestampWrite.
constexpr UA_Byte kWriteBits = UA_ACCESSLEVELMASK_WRITE | UA_ACCESSLEVELMASK_HISTORYWRITE |
                               UA_ACCESSLEVELMASK_STATUSWRITE | UA_ACCESSLEVELMASK_TIMESTAMPWRITE;
// The methods a Read session may call: they only read (a refresh sends the
// alarms again).
constexpr UA_UInt32 kReadingMethods[] = {UA_NS0ID_SERVER_GETMONITOREDITEMS, UA_NS0ID_SERVER_RESENDDATA,
                                         UA_NS0ID_CONDITIONTYPE_CONDITIONREFRESH,
                                         UA_NS0ID_CONDITIONTYPE_CONDITIONREFRESH2};
// The condition methods, which answer a Read session Bad_UserAccessDenied
// themselves: the stack's own refusal would say Bad_NotExecutable.
constexpr UA_UInt32 kConditionMethods[] = {
    UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_ACKNOWLEDGE, UA_NS0ID_ACKNOWLEDGEABLECONDITIONTYPE_CONFIRM,
    UA_NS0ID_CONDITIONTYPE_ADDCOMMENT, UA_NS0ID_CONDITIONTYPE_ENABLE, UA_NS0ID_CONDITIONTYPE_DISABLE};

const char kBasic256Sha256[] = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
const char kNonePolicy[] = "http://opcfoundation.org/UA/SecurityPolicy#None";

// The access controls of the running servers by their TCP connection
// manager: the stack's send and receive hooks carry no context of their own.
std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}
std::vector<std::pair<const UA_ConnectionManager*, UaAccessControl*>>& Registry() {
    static std::vector<std::pair<const UA_ConnectionManager*, UaAccessControl*>> registry;
    return registry;
}
UaAccessControl* Registered(const UA_ConnectionManager* manager) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    for (const auto& [key, control] : Registry()) {
        if (key == manager) return control;
    }
    return nullptr;
}
// The server's own receive callback, the same function for every server.
std::atomic<UA_ConnectionManager_connectionCallback> theServerReceive{nullptr};

// The connection whose message the endpoint's thread is working on; the
// session hooks run inside that work. Trivial, as MinGW's thread_local must be.
struct Receiving {
    UaAccessControl* control;
    uintptr_t connection;
};
thread_local Receiving t_receiving{nullptr, 0};

// Milliseconds of the performance counter: the tick count moves in steps of 16 ms.
std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::string SessionKey(const UA_NodeId& sessionId) {
    UA_String text = UA_STRING_NULL;
    UA_NodeId_print(&sessionId, &text);
    std::string key(reinterpret_cast<const char*>(text.data), text.length);
    UA_String_clear(&text);
    return key;
}

std::string_view View(const UA_String& text) {
    return text.length == 0 ? std::string_view()
                            : std::string_view(reinterpret_cast<const char*>(text.data), text.length);
}

std::wstring PolicyAndMode(const UA_EndpointDescription* endpoint) {
    if (endpoint == nullptr) return L"?";
    const std::wstring uri = TextOf(endpoint->securityPolicyUri);
    const size_t hash = uri.rfind(L'#');
    std::wstring text = hash == std::wstring::npos ? uri : uri.substr(hash + 1);
    switch (endpoint->securityMode) {
    case UA_MESSAGESECURITYMODE_SIGN: return text + L"/Sign";
    case UA_MESSAGESECURITYMODE_SIGNANDENCRYPT: return text + L"/SignAndEncrypt";
    default: return text + L"/None";
    }
}

// Strict UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
// Each code point in turn, U+FFFD for each bad byte.
template <class Visit>
void DecodeUtf8(std::string_view text, Visit visit) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        unsigned length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        char32_t point = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool good = length != 0 && i + length <= text.size();
        for (unsigned k = 1; good && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            good = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        good = good && point >= kLeast[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
        if (!visit(good ? point : U'\xFFFD', good)) return;
        i += good ? length : 1;
    }
}

bool IsFormatCharacter(char32_t c) {
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
           c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

bool IsValidUtf8(std::string_view text) {
    bool valid = true;
    DecodeUtf8(text, [&](char32_t, bool good) { return valid = good; });
    return valid;
}

// A name a user could have: valid UTF-8 of reasonable length without control characters.
bool IsPossibleName(std::string_view name) {
    if (name.empty() || name.size() > kMostNameBytes) return false;
    bool possible = true;
    DecodeUtf8(name, [&](char32_t c, bool good) {
        possible = good && c >= 0x20 && !(c >= 0x7F && c <= 0x9F);
        return possible;
    });
    return possible;
}

// A password a user could have set: typed text. A NUL is refused outright:
// PBKDF2's HMAC pads the password with zeros, so "pw" and "pw\0" would match the same hash.
bool IsPossiblePassword(std::string_view password) {
    return password.size() <= kMostPasswordBytes && password.find('\0') == std::string_view::npos &&
           IsValidUtf8(password);
}

// The IP address of the socket's other end, as text; false for a socket that has none.
bool PeerOf(uintptr_t connection, std::wstring& address, std::string& key, bool& loopback) {
    sockaddr_storage peer{};
    int size = sizeof peer;
    if (getpeername(static_cast<SOCKET>(connection), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return false;
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        loopback = (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
        key = text;
    } else if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        const unsigned char* bytes = v6.sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            in_addr v4{};
            std::memcpy(&v4, bytes + 12, 4);
            inet_ntop(AF_INET, &v4, text, sizeof text);
            loopback = bytes[12] == 127;
            key = text;
        } else {
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
            loopback = IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) != 0;
            // One site's computers share the top 64 bits; a client may take any of the rest.
            char prefix[INET6_ADDRSTRLEN] = {};
            in6_addr top{};
            std::memcpy(&top, bytes, 8);
            inet_ntop(AF_INET6, &top, prefix, sizeof prefix);
            key = std::string(prefix) + "/64";
        }
    } else {
        return false;
    }
    address = FromUtf8(text);
    return true;
}

// The answer the stack gives a session asked for over security None when
// None serves discovery only: a ServiceFault of BadSecurityPolicyRejected, in
// the clear. Message header (8), channel, token, sequence and request ids (16),
// the ServiceFault's type id (4: 0x01, namespace 0, 397), the response header's
// timestamp (8) and request handle (4), then its service result.
bool IsUnsecuredRefusal(const UA_ByteString& message) {
    if (message.length < 44 || std::memcmp(message.data, "MSGF", 4) != 0) return false;
    static const unsigned char kServiceFault[] = {0x01, 0x00, 0x8D, 0x01};
    if (std::memcmp(message.data + 24, kServiceFault, 4) != 0) return false;
    UA_UInt32 result = 0;
    for (int i = 3; i >= 0; --i) result = (result << 8) | message.data[40 + i];
    return result == UA_STATUSCODE_BADSECURITYPOLICYREJECTED;
}

UaAccessControl* ControlOf(UA_AccessControl* ac) { return static_cast<UaAccessControl*>(ac->context); }

const UaAccessControl::Session* SessionOf(const void* context) {
    return static_cast<const UaAccessControl::Session*>(context);
}

std::uint32_t RoleOf(const void* context) {
    return context == nullptr ? static_cast<std::uint32_t>(UaRole::Read) : SessionOf(context)->role.load();
}

// The role the store gives a user now; nothing once the user is gone.
std::optional<UaRole> CurrentRole(const UaUserStore& users, const std::wstring& name) {
    for (const UaUser& user : users.Users()) {
        if (user.name == name) return user.role;  // as Verify compares them
    }
    return std::nullopt;
}

UA_UInt32 UserRightsMask(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext, const UA_NodeId*,
                         void*) {
    return RoleOf(sessionContext) == static_cast<std::uint32_t>(UaRole::ReadWrite) ? 0xFFFFFFFF : 0;
}

UA_Byte UserAccessLevel(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext, const UA_NodeId*,
                        void*) {
    switch (RoleOf(sessionContext)) {
    case static_cast<std::uint32_t>(UaRole::ReadWrite): return 0xFF;
    case static_cast<std::uint32_t>(UaRole::Read): return static_cast<UA_Byte>(0xFF & ~kWriteBits);
    default: return 0;
    }
}

bool MayExecute(const void* sessionContext, const UA_NodeId* methodId) {
    const std::uint32_t role = RoleOf(sessionContext);
    if (role == static_cast<std::uint32_t>(UaRole::ReadWrite)) return true;
    if (role != static_cast<std::uint32_t>(UaRole::Read) || methodId == nullptr) return false;
    if (methodId->namespaceIndex != 0 || methodId->identifierType != UA_NODEIDTYPE_NUMERIC) return false;
    return std::find(std::begin(kReadingMethods), std::end(kReadingMethods), methodId->identifier.numeric) !=
           std::end(kReadingMethods);
}

UA_Boolean UserExecutable(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext,
                          const UA_NodeId* methodId, void*) {
    return MayExecute(sessionContext, methodId);
}

UA_Boolean UserExecutableOnObject(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext,
                                  const UA_NodeId* methodId, void*, const UA_NodeId*, void*) {
    if (MayExecute(sessionContext, methodId)) return true;
    if (RoleOf(sessionContext) != static_cast<std::uint32_t>(UaRole::Read) || methodId->namespaceIndex != 0 ||
        methodId->identifierType != UA_NODEIDTYPE_NUMERIC) {
        return false;
    }
    return std::find(std::begin(kConditionMethods), std::end(kConditionMethods), methodId->identifier.numeric) !=
           std::end(kConditionMethods);
}

// The nodes are the configuration's: no client adds or deletes any, nor their references.
UA_Boolean NoAddNode(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_AddNodesItem*) { return false; }
UA_Boolean NoAddReference(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_AddReferencesItem*) {
    return false;
}
UA_Boolean NoDeleteNode(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_DeleteNodesItem*) {
    return false;
}
UA_Boolean NoDeleteReference(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_DeleteReferencesItem*) {
    return false;
}

UA_Boolean MayBrowse(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext, const UA_NodeId*, void*) {
    return RoleOf(sessionContext) != 0;
}

#ifdef UA_ENABLE_SUBSCRIPTIONS
// A subscription moves only between sessions of the same user (or between anonymous ones).
UA_Boolean MayTransfer(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* oldContext, const UA_NodeId*,
                       void* newContext) {
    if (oldContext == nullptr) return true;  // its session is gone: it only sends values
    if (newContext == nullptr) return false;
    const auto* before = SessionOf(oldContext);
    const auto* after = SessionOf(newContext);
    return before->anonymous == after->anonymous && before->user == after->user;
}
#endif

// A user token policy whose policy ID ends with the name of the policy that
// encrypts its secret, as the stack matches them.
UA_UserTokenPolicy TokenPolicy(UA_UserTokenType type, const char* kind, const UA_String& endpointPolicy,
                               const char* tokenPolicy) {
    UA_UserTokenPolicy policy;
    UA_UserTokenPolicy_init(&policy);
    policy.tokenType = type;
    const std::string_view uri = tokenPolicy != nullptr ? std::string_view(tokenPolicy) : View(endpointPolicy);
    const size_t hash = uri.rfind('#');
    const std::string id = std::string(kind) + std::string(hash == std::string_view::npos ? uri : uri.substr(hash));
    policy.policyId = UA_STRING_ALLOC(id.c_str());
    if (tokenPolicy != nullptr) policy.securityPolicyUri = UA_STRING_ALLOC(tokenPolicy);
    return policy;
}

std::string RememberKey() {
    std::string key(32, '\0');
    BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()),
                    BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return key;
}

// A keyed hash of a good login: the process remembers that much, never the password.
std::string Remembered(const std::string& key, std::string_view name, std::string_view password) {
    std::string input;
    const std::uint32_t length = static_cast<std::uint32_t>(name.size());
    input.append(reinterpret_cast<const char*>(&length), sizeof length);
    input.append(name);
    input.append(password);
    std::string digest(32, '\0');
    mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), reinterpret_cast<const unsigned char*>(key.data()),
                    key.size(), reinterpret_cast<const unsigned char*>(input.data()), input.size(),
                    reinterpret_cast<unsigned char*>(digest.data()));
    std::fill(input.begin(), input.end(), '\0');
    return digest;
}

std::wstring Duration(unsigned ms) {
    if (ms < 1000) return std::to_wstring(ms) + L" ms";
    return ms % 1000 == 0 ? std::to_wstring(ms / 1000) + L" s" : FormatText(L"%.1f s", ms / 1000.0);
}
}  // namespace

std::wstring AuditName(std::string_view utf8) {
    std::wstring text = L"\"";
    size_t count = 0;
    bool cut = false;
    DecodeUtf8(utf8, [&](char32_t c, bool) {
        if (count == kMostAuditChars) {
            cut = true;
            return false;
        }
        ++count;
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            text += FormatText(L"\\x%02X", static_cast<unsigned>(c));
        } else if (IsFormatCharacter(c)) {
            text += FormatText(L"\\u%04X", static_cast<unsigned>(c));
        } else if (c == U'"' || c == U'\\') {
            text += L'\\';
            text += static_cast<wchar_t>(c);
        } else if (c > 0xFFFF) {
            text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            text += static_cast<wchar_t>(c);
        }
        return true;
    });
    return text + (cut ? L"...\"" : L"\"");
}

UaAccessControl::UaAccessControl(const UaSecuritySettings& settings, UaUserStore users, UaLoginDelays delays)
    : m_delays(delays),
      m_settings(settings),
      m_users(std::make_shared<const UaUserStore>(std::move(users))),
      m_rememberKey(RememberKey()) {}

UaAccessControl::~UaAccessControl() {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto& registry = Registry();
    registry.erase(
        std::remove_if(registry.begin(), registry.end(), [this](const auto& entry) { return entry.second == this; }),
        registry.end());
}

UA_StatusCode UaAccessControl::Install(UA_ServerConfig& config) {
    UA_AccessControl& ac = config.accessControl;
    if (ac.clear != nullptr) ac.clear(&ac);
    std::memset(&ac, 0, sizeof ac);
    ac.context = this;
    ac.clear = &ClearHook;
    ac.activateSession = &ActivateHook;
    ac.closeSession = &CloseHook;
    ac.getUserRightsMask = &UserRightsMask;
    ac.getUserAccessLevel = &UserAccessLevel;
    ac.getUserExecutable = &UserExecutable;
    ac.getUserExecutableOnObject = &UserExecutableOnObject;
    ac.allowAddNode = &NoAddNode;
    ac.allowAddReference = &NoAddReference;
    ac.allowDeleteNode = &NoDeleteNode;
    ac.allowDeleteReference = &NoDeleteReference;
    ac.allowBrowseNode = &MayBrowse;
#ifdef UA_ENABLE_SUBSCRIPTIONS
    ac.allowTransferSubscription = &MayTransfer;
#endif

    UaSecuritySettings settings;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        settings = m_settings;
    }
    // Each endpoint offers exactly what Activate accepts: no client is offered
    // a token only to see it refused. A user name and password are taken only
    // over SignAndEncrypt, or from a client on this computer (the only kind
    // there is without remote access); their secret is encrypted whatever the
    // channel, on the None endpoint by Basic256Sha256, so that even loopback
    // traffic never carries a password in the clear. From other computers,
    // only SignAndEncrypt is offered unless unsecured connections are allowed,
    // and an endpoint left without any token is not offered at all.
    config.allowNonePolicyPassword = false;
    const UA_String none = UA_STRING(const_cast<char*>(kNonePolicy));
    bool noneOffered = false;
    size_t kept = 0;
    for (size_t i = 0; i < config.endpointsSize; ++i) {
        UA_EndpointDescription& endpoint = config.endpoints[i];
        UA_Array_delete(endpoint.userIdentityTokens, endpoint.userIdentityTokensSize,
                        &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
        endpoint.userIdentityTokens = nullptr;
        endpoint.userIdentityTokensSize = 0;
        const bool unsecured = UA_String_equal(&endpoint.securityPolicyUri, &none);
        const bool encrypting = endpoint.securityMode == UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
        std::vector<UA_UserTokenPolicy> policies;
        if (encrypting || settings.NoneOffered()) {
            if (settings.AnonymousAccepted()) {
                policies.push_back(
                    TokenPolicy(UA_USERTOKENTYPE_ANONYMOUS, "anonymous", endpoint.securityPolicyUri, nullptr));
            }
            if (encrypting || !settings.remote) {
                policies.push_back(TokenPolicy(UA_USERTOKENTYPE_USERNAME, "username", endpoint.securityPolicyUri,
                                               unsecured ? kBasic256Sha256 : nullptr));
            }
        }
        UA_StatusCode status = UA_STATUSCODE_GOOD;
        if (!policies.empty()) {
            status =
                UA_Array_copy(policies.data(), policies.size(), reinterpret_cast<void**>(&endpoint.userIdentityTokens),
                              &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
            if (status == UA_STATUSCODE_GOOD) endpoint.userIdentityTokensSize = policies.size();
        }
        for (UA_UserTokenPolicy& policy : policies) UA_UserTokenPolicy_clear(&policy);
        if (status != UA_STATUSCODE_GOOD) return status;
        if (policies.empty()) {
            UA_EndpointDescription_clear(&endpoint);
            continue;
        }
        noneOffered = noneOffered || unsecured;
        if (kept != i) {
            config.endpoints[kept] = endpoint;
            UA_EndpointDescription_init(&endpoint);
        }
        ++kept;
    }
    config.endpointsSize = kept;
    // Without its endpoint, None serves discovery alone: a client may ask for
    // the endpoints over it, and have no session there.
    config.securityPolicyNoneDiscoveryOnly = !noneOffered;
    return UA_STATUSCODE_GOOD;
}

void UaAccessControl::HookConnections(UA_EventLoop* loop) {
    const UA_String tcp = UA_STRING(const_cast<char*>("tcp"));
    for (UA_EventSource* source = loop != nullptr ? loop->eventSources : nullptr; source != nullptr;
         source = source->next) {
        if (source->eventSourceType != UA_EVENTSOURCETYPE_CONNECTIONMANAGER) continue;
        auto* manager = reinterpret_cast<UA_ConnectionManager*>(source);
        if (!UA_String_equal(&manager->protocol, &tcp)) continue;
        m_manager = manager;
        m_nextSend = manager->sendWithConnection;
        m_nextOpen = manager->openConnection;
        manager->sendWithConnection = &SendHook;
        manager->openConnection = &OpenConnectionHook;
        std::lock_guard<std::mutex> guard(RegistryLock());
        auto& registry = Registry();
        // A manager at the address of one gone before is this one's now.
        registry.erase(std::remove_if(registry.begin(), registry.end(),
                                      [manager](const auto& entry) { return entry.first == manager; }),
                       registry.end());
        registry.emplace_back(manager, this);
        m_registered = manager;
        return;
    }
}

void UaAccessControl::Apply(const UaSecuritySettings& settings, std::optional<UaUserStore> users) {
    std::vector<UA_NodeId> closing;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_settings = settings;
        if (users) {
            m_users = std::make_shared<const UaUserStore>(std::move(*users));
            m_remembered.clear();
        }
        const std::shared_ptr<const UaUserStore> store = m_users;
        for (auto& [key, session] : m_sessions) {
            std::optional<UaRole> role = session->anonymous ? std::optional<UaRole>(settings.AnonymousRole())
                                                            : CurrentRole(*store, session->user);
            session->role = role ? static_cast<std::uint32_t>(*role) : 0;
            if (role) continue;
            closing.emplace_back();
            UA_NodeId_copy(&session->id, &closing.back());
        }
    }
    // Outside the lock: closing calls back into CloseHook.
    for (UA_NodeId& id : closing) {
        if (m_server != nullptr) UA_Server_closeSession(m_server, &id);
        UA_NodeId_clear(&id);
    }
}

void UaAccessControl::Attach(UA_Server* server) {
    m_server = server;
    UA_Server_addRepeatedCallback(server, &SweepHook, this, kSweepIntervalMs, nullptr);
}

void UaAccessControl::SetUserCheck(UaUserCheck check) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_check = std::move(check);
}

std::optional<UaSessionIdentity> UaAccessControl::IdentityOf(const void* sessionContext) {
    if (sessionContext == nullptr) return std::nullopt;
    const Session* session = SessionOf(sessionContext);
    UaSessionIdentity identity;
    identity.address = session->address;
    identity.user = session->anonymous ? L"Anonymous" : session->user;
    identity.role = static_cast<UaRole>(session->role.load());
    return identity;
}

UA_StatusCode UaAccessControl::ActivateHook(UA_Server*, UA_AccessControl* ac, const UA_EndpointDescription* endpoint,
                                            const UA_ByteString*, const UA_NodeId* sessionId,
                                            const UA_ExtensionObject* token, void** sessionContext) {
    UaAccessControl* self = ControlOf(ac);
    if (self == nullptr || sessionId == nullptr || token == nullptr || sessionContext == nullptr)
        return UA_STATUSCODE_BADINTERNALERROR;
    const UA_StatusCode status = self->Activate(endpoint, *sessionId, token, sessionContext);
    Connection* connection = self->ReceivingConnection();
    if (status != UA_STATUSCODE_GOOD && *sessionContext == nullptr && connection != nullptr &&
        connection->refused.size() < kMostSessionsRefusedPerChannel) {
        connection->refused.emplace_back();
        UA_NodeId_copy(sessionId, &connection->refused.back());
    }
    return status;
}

void UaAccessControl::CloseHook(UA_Server*, UA_AccessControl* ac, const UA_NodeId* sessionId, void*) {
    UaAccessControl* self = ControlOf(ac);
    if (self != nullptr && sessionId != nullptr) self->Close(*sessionId);
}

void UaAccessControl::ClearHook(UA_AccessControl* ac) {
    UA_Array_delete(ac->userTokenPolicies, ac->userTokenPoliciesSize, &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
    ac->userTokenPolicies = nullptr;
    ac->userTokenPoliciesSize = 0;
    ac->context = nullptr;
}

UaAccessControl::Connection* UaAccessControl::ReceivingConnection() {
    if (t_receiving.control != this) return nullptr;
    auto found = m_connections.find(t_receiving.connection);
    return found == m_connections.end() ? nullptr : found->second.get();
}

UA_StatusCode UaAccessControl::Activate(const UA_EndpointDescription* endpoint, const UA_NodeId& sessionId,
                                        const UA_ExtensionObject* token, void** sessionContext) {
    Connection* connection = ReceivingConnection();
    const std::wstring address = connection != nullptr ? connection->address : L"?";
    // A refusal from here is logged here; the send path is not to count it again.
    if (connection != nullptr) m_refusedConnection = t_receiving.connection;
    UaSecuritySettings settings;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        settings = m_settings;
    }
    // An empty token is an anonymous one (Part 4, 5.6.3).
    const UA_DataType* type = token->encoding == UA_EXTENSIONOBJECT_ENCODED_NOBODY
                                  ? &UA_TYPES[UA_TYPES_ANONYMOUSIDENTITYTOKEN]
                              : token->encoding >= UA_EXTENSIONOBJECT_DECODED ? token->content.decoded.type
                                                                              : nullptr;
    if (type == &UA_TYPES[UA_TYPES_ANONYMOUSIDENTITYTOKEN]) {
        if (!settings.AnonymousAccepted()) {
            theEventLog << L"OPC UA session refused:" << address << PolicyAndMode(endpoint)
                        << L"anonymous clients are not allowed" << EventLog::EndEntry;
            return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
        }
        Admit(sessionId, std::wstring(), true, settings.AnonymousRole(), sessionContext);
    } else if (type == &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]) {
        const auto& userToken = *static_cast<const UA_UserNameIdentityToken*>(token->content.decoded.data);
        std::optional<UaRole> role;
        const UA_StatusCode status = LogIn(endpoint, userToken, connection, role);
        if (status != UA_STATUSCODE_GOOD) return status;
        Admit(sessionId, FromUtf8(View(userToken.userName)), false, *role, sessionContext);
    } else {
        theEventLog << L"OPC UA session refused:" << address << PolicyAndMode(endpoint)
                    << L"an identity token of a kind the endpoint does not take" << EventLog::EndEntry;
        return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
    }
    if (connection != nullptr) connection->admitted = true;
    m_refusedConnection = 0;
    return UA_STATUSCODE_GOOD;
}

UA_StatusCode UaAccessControl::LogIn(const UA_EndpointDescription* endpoint, const UA_UserNameIdentityToken& token,
                                     const Connection* connection, std::optional<UaRole>& role) {
    const std::wstring address = connection != nullptr ? connection->address : L"?";
    const std::string key = connection != nullptr ? connection->key : "?";
    const std::string_view name = View(token.userName);
    const std::string_view password = View(token.password);
    auto refused = [&](const wchar_t* what, const std::wstring& why) {
        theEventLog << what << address << PolicyAndMode(endpoint) << L"user" << AuditName(name) + L":" << why
                    << EventLog::EndEntry;
    };
    if (name.empty()) {
        refused(L"OPC UA login refused:", L"no user name");
        return UA_STATUSCODE_BADIDENTITYTOKENINVALID;
    }
    // Over SignAndEncrypt, or from this computer (see Install). The endpoints
    // offer no other: this is the last guard.
    const bool encrypting = endpoint != nullptr && endpoint->securityMode == UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
    if (!encrypting && (connection == nullptr || !connection->loopback)) {
        refused(L"OPC UA login refused:", L"a user name from another computer needs SignAndEncrypt");
        return UA_STATUSCODE_BADIDENTITYTOKENREJECTED;
    }
    const std::uint64_t now = NowMs();
    if (Throttled(key, now)) {
        // Not checked: no password is tried faster than the delay allows.
        const unsigned delay = CountFailure(key, now);
        HoldNextSend(connection, delay);
        if (LogAllowed(key, now)) {
            refused(L"OPC UA login refused:", L"retried too soon after failed logins (failure " +
                                                  std::to_wstring(m_penalties[key].failures) + L" from this address)");
        }
        return UA_STATUSCODE_BADIDENTITYTOKENREJECTED;
    }

    const bool possible = IsPossibleName(name) && IsPossiblePassword(password);
    UaUserCheck check;
    std::shared_ptr<const UaUserStore> users;
    std::string remembered;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        check = m_check;
        users = m_users;
        if (possible) {
            remembered = Remembered(m_rememberKey, name, password);
            auto found = m_remembered.find(remembered);
            if (found != m_remembered.end()) role = found->second;
        }
    }
    if (!role) {
        // An impossible name costs as long as a wrong password: it is checked too, cut short.
        const std::string_view checkedName = name.substr(0, kMostNameBytes);
        const std::string_view checkedPassword = password.substr(0, kMostPasswordBytes);
        role = check ? check(checkedName, checkedPassword) : users->Verify(checkedName, checkedPassword);
        if (!possible) role.reset();
        if (role) {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_users == users) {  // not for users replaced meanwhile
                if (m_remembered.size() >= kMostRemembered) m_remembered.clear();
                m_remembered.emplace(remembered, *role);
            }
        }
    }
    if (role) return UA_STATUSCODE_GOOD;
    const unsigned delay = CountFailure(key, NowMs());
    HoldNextSend(connection, delay);
    if (LogAllowed(key, now)) {
        refused(L"OPC UA login failed:", L"wrong user name or password (failure " +
                                             std::to_wstring(m_penalties[key].failures) +
                                             L" from this address; the answer waits " + Duration(delay) + L")");
    }
    return UA_STATUSCODE_BADUSERACCESSDENIED;
}

void UaAccessControl::Admit(const UA_NodeId& sessionId, std::wstring user, bool anonymous, UaRole role,
                            void** sessionContext) {
    Connection* connection = ReceivingConnection();
    const std::string key = SessionKey(sessionId);
    std::lock_guard<std::mutex> guard(m_lock);
    std::unique_ptr<Session>& session = m_sessions[key];
    if (!session) {
        session = std::make_unique<Session>();
        UA_NodeId_copy(&sessionId, &session->id);
    }
    // Activated again (a new user, or a new channel): the session is who it says now.
    if (connection != nullptr) session->address = connection->address;
    session->user = std::move(user);
    session->anonymous = anonymous;
    session->role = static_cast<std::uint32_t>(role);
    *sessionContext = session.get();
}

void UaAccessControl::Close(const UA_NodeId& sessionId) {
    const std::string key = SessionKey(sessionId);
    std::unique_ptr<Session> gone;
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_sessions.find(key);
    if (found == m_sessions.end()) return;
    gone = std::move(found->second);
    m_sessions.erase(found);
}

bool UaAccessControl::Throttled(const std::string& key, std::uint64_t now) const {
    auto found = m_penalties.find(key);
    return found != m_penalties.end() && now < found->second.until &&
           now - found->second.lastFailure < m_delays.forgetAfterMs;
}

unsigned UaAccessControl::CountFailure(const std::string& key, std::uint64_t now) {
    if (m_penalties.size() >= kMostPenalties && m_penalties.count(key) == 0) {
        for (auto entry = m_penalties.begin(); entry != m_penalties.end();) {
            entry = now - entry->second.lastFailure >= m_delays.forgetAfterMs ? m_penalties.erase(entry) : ++entry;
        }
        // Still full: addresses beyond count; the oldest counts go.
        if (m_penalties.size() >= kMostPenalties) m_penalties.clear();
    }
    Penalty& penalty = m_penalties[key];
    if (penalty.failures > 0 && now - penalty.lastFailure >= m_delays.forgetAfterMs) penalty = Penalty{};
    ++penalty.failures;
    penalty.lastFailure = now;
    std::uint64_t delay = m_delays.firstMs;
    for (unsigned i = 1; i < penalty.failures && delay < m_delays.mostMs; ++i) delay *= 2;
    delay = std::min<std::uint64_t>(delay, m_delays.mostMs);
    penalty.until = now + delay;
    return static_cast<unsigned>(delay);
}

bool UaAccessControl::LogAllowed(const std::string& key, std::uint64_t now, bool refusal) {
    auto found = m_penalties.find(key);
    if (found == m_penalties.end()) {
        if (m_penalties.size() >= kMostPenalties) return true;
        found = m_penalties.emplace(key, Penalty{}).first;
    }
    Penalty& penalty = found->second;
    if (refusal && now - penalty.lastLogged >= m_delays.forgetAfterMs) penalty.refusals = 0;
    const unsigned count = refusal ? ++penalty.refusals : penalty.failures;
    // A failed login's line says how many came: the ones between go unsaid.
    if (count > kFailuresLoggedEach && now - penalty.lastLogged < std::max(m_delays.mostMs, 1000u)) return false;
    penalty.lastLogged = now;
    return true;
}

void UaAccessControl::HoldNextSend(const Connection* connection, unsigned delayMs) {
    if (connection == nullptr || delayMs == 0) return;
    m_holdConnection = t_receiving.connection;
    m_holdUntil = NowMs() + delayMs;
}

UA_StatusCode UaAccessControl::OpenConnectionHook(UA_ConnectionManager* manager, const UA_KeyValueMap* params,
                                                  void* application, void* context,
                                                  UA_ConnectionManager_connectionCallback callback) {
    UaAccessControl* self = Registered(manager);
    if (self == nullptr || self->m_nextOpen == nullptr) return UA_STATUSCODE_BADINTERNALERROR;
    theServerReceive = callback;
    return self->m_nextOpen(manager, params, application, context, &ReceiveHook);
}

void UaAccessControl::ReceiveHook(UA_ConnectionManager* manager, uintptr_t connection, void* application,
                                  void** connectionContext, UA_ConnectionState state, const UA_KeyValueMap* params,
                                  UA_ByteString message) {
    UaAccessControl* self = Registered(manager);
    if (self != nullptr) self->Received(connection, state, params);
    const Receiving before = t_receiving;
    t_receiving = {self, connection};
    if (const UA_ConnectionManager_connectionCallback receive = theServerReceive.load()) {
        receive(manager, connection, application, connectionContext, state, params, message);
    }
    t_receiving = before;
    if (self == nullptr) return;
    // The answer to a refused login was sent (and held) within the work on its message.
    if (self->m_holdConnection == connection) self->m_holdConnection = 0;
    if (state == UA_CONNECTIONSTATE_CLOSING) self->Forget(connection);
}

void UaAccessControl::Forget(uintptr_t connection) {
    auto found = m_connections.find(connection);
    if (m_refusedConnection == connection) m_refusedConnection = 0;
    if (found == m_connections.end()) return;
    // Taken out first: what it held goes, as the socket's number may come again.
    const std::unique_ptr<Connection> gone = std::move(found->second);
    m_connections.erase(found);
    for (UA_NodeId& id : gone->refused) {
        bool admitted;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            admitted = m_sessions.count(SessionKey(id)) != 0;
        }
        if (!admitted && m_server != nullptr) UA_Server_closeSession(m_server, &id);
    }
}

void UaAccessControl::SweepHook(UA_Server*, void* data) { static_cast<UaAccessControl*>(data)->Sweep(); }

void UaAccessControl::Sweep() {
    UA_Variant diagnostics;
    UA_Variant_init(&diagnostics);
    const UA_NodeId array =
        UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERDIAGNOSTICS_SESSIONSDIAGNOSTICSSUMMARY_SESSIONDIAGNOSTICSARRAY);
    std::vector<UA_NodeId> closing;
    if (UA_Server_readValue(m_server, array, &diagnostics) == UA_STATUSCODE_GOOD &&
        diagnostics.type == &UA_TYPES[UA_TYPES_SESSIONDIAGNOSTICSDATATYPE]) {
        const auto* sessions = static_cast<const UA_SessionDiagnosticsDataType*>(diagnostics.data);
        const UA_DateTime made = UA_DateTime_now() - kMostUnactivated;
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = 0; i < diagnostics.arrayLength; ++i) {
            if (sessions[i].clientConnectionTime > made || m_sessions.count(SessionKey(sessions[i].sessionId)) != 0)
                continue;
            closing.emplace_back();
            UA_NodeId_copy(&sessions[i].sessionId, &closing.back());
        }
    }
    UA_Variant_clear(&diagnostics);
    for (UA_NodeId& id : closing) {
        UA_Server_closeSession(m_server, &id);
        UA_NodeId_clear(&id);
    }
}

void UaAccessControl::Received(uintptr_t connection, UA_ConnectionState state, const UA_KeyValueMap* params) {
    if (state == UA_CONNECTIONSTATE_CLOSING || params == nullptr || m_connections.count(connection) != 0) return;
    // An accepted connection's first callback names its peer; a listening socket's does not.
    if (UA_KeyValueMap_get(params, UA_QUALIFIEDNAME(0, const_cast<char*>("remote-address"))) == nullptr) return;
    auto entry = std::make_unique<Connection>();
    if (!PeerOf(connection, entry->address, entry->key, entry->loopback)) return;
    m_connections.emplace(connection, std::move(entry));
}

UA_StatusCode UaAccessControl::SendHook(UA_ConnectionManager* manager, uintptr_t connection,
                                        const UA_KeyValueMap* params, UA_ByteString* buffer) {
    UaAccessControl* self = Registered(manager);
    if (self == nullptr || self->m_nextSend == nullptr) {
        UA_ByteString_clear(buffer);
        return UA_STATUSCODE_BADINTERNALERROR;
    }
    return self->Send(manager, connection, params, buffer);
}

UA_StatusCode UaAccessControl::Send(UA_ConnectionManager* manager, uintptr_t connection, const UA_KeyValueMap* params,
                                    UA_ByteString* buffer) {
    auto found = m_connections.find(connection);
    Connection* client = found != m_connections.end() ? found->second.get() : nullptr;
    if (m_server != nullptr) {
        // Each refused session is answered at once on its own connection: a
        // refusal the stack counted, and these hooks did not make, is this one's.
        const size_t rejected = UA_Server_getStatistics(m_server).ss.rejectedSessionCount;
        const bool refusedByStack = rejected > m_rejectedSeen && m_refusedConnection != connection;
        m_rejectedSeen = rejected;
        if (client != nullptr && !client->admitted) {
            const std::uint64_t now = NowMs();
            const bool unsecured = IsUnsecuredRefusal(*buffer);
            if ((unsecured || refusedByStack) && LogAllowed(client->key, now, true)) {
                theEventLog << L"OPC UA session refused:" << client->address
                            << (unsecured ? L"security None: unsecured sessions from other computers are not allowed"
                                          : L"before its user was checked (an identity the endpoint does not offer, "
                                            L"such as anonymous, a bad signature, or too many sessions)")
                            << EventLog::EndEntry;
            }
        }
    }
    if (m_refusedConnection == connection) m_refusedConnection = 0;
    if (client != nullptr && (m_holdConnection == connection || !client->held.empty())) {
        // Behind what waits already: the channel's messages keep their order.
        std::uint64_t due = client->held.empty() ? 0 : client->held.back().due;
        if (m_holdConnection == connection) {
            due = std::max(due, m_holdUntil);
            m_holdConnection = 0;
        }
        client->held.push_back({due, *buffer});
        UA_ByteString_init(buffer);
        ArmFlush(due);
        return UA_STATUSCODE_GOOD;
    }
    return m_nextSend(manager, connection, params, buffer);
}

void UaAccessControl::ArmFlush(std::uint64_t due) {
    if (m_server == nullptr || (m_flushArmedFor != 0 && m_flushArmedFor <= due)) return;
    const std::uint64_t now = NowMs();
    const UA_DateTime when =
        UA_DateTime_nowMonotonic() + static_cast<UA_DateTime>(due > now ? due - now : 0) * UA_DATETIME_MSEC;
    if (UA_Server_addTimedCallback(m_server, &FlushHook, this, when, nullptr) == UA_STATUSCODE_GOOD)
        m_flushArmedFor = due;
}

void UaAccessControl::FlushHook(UA_Server*, void* data) {
    auto* self = static_cast<UaAccessControl*>(data);
    self->m_flushArmedFor = 0;
    self->Flush();
}

void UaAccessControl::Flush() {
    const std::uint64_t now = NowMs();
    std::uint64_t next = 0;
    for (auto& [id, connection] : m_connections) {
        auto& held = connection->held;
        while (!held.empty() && held.front().due <= now) {
            UA_ByteString buffer = held.front().buffer;
            held.pop_front();
            // A connection that cannot take it is closed by the send; its CLOSING drops the rest.
            m_nextSend(m_manager, id, nullptr, &buffer);
        }
        if (!held.empty() && (next == 0 || held.front().due < next)) next = held.front().due;
    }
    if (next != 0) ArmFlush(next);
}
