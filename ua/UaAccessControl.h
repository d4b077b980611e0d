#pragma once
// Who may do what at the OPC UA endpoint: which identity tokens each endpoint
// offers and takes (anonymous, user name and password), the role of each
// session (Read or Read/Write), the delay that slows down failed logins from
// one address, and the audit lines of the event log. Replaces the stack's
// default access control; the endpoint owns one per server it runs.
//
// The server's hooks run on the endpoint's thread; Apply may come from any
// thread while the server runs.
#include "UaLibrary.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "UaSecuritySettings.h"
#include "UaUserStore.h"

// How failed logins from one address are slowed down: the answer to the
// first waits firstMs, each further one twice as long as the one before, up
// to mostMs; an address forgotten for forgetAfterMs starts again at firstMs.
struct UaLoginDelays {
    unsigned firstMs = 500;
    unsigned mostMs = 10000;
    unsigned forgetAfterMs = 5 * 60 * 1000;
};

// Checks a user name and password: the user's role, or nothing.
using UaUserCheck = std::function<std::optional<UaRole>(std::string_view nameUtf8, std::string_view passwordUtf8)>;

// Who a session is, as the session list and the audit lines say it.
struct UaSessionIdentity {
    std::wstring address;  // the client's IP address
    std::wstring user;     // the user name, or "Anonymous"
    UaRole role = UaRole::Read;
};

// A user name as the event log may show it: control and format characters
// escaped (\x0A, \u202E), quotes and backslashes escaped, invalid UTF-8 as
// U+FFFD, cut at 64 characters ("..." marks the cut), in quotes.
std::wstring AuditName(std::string_view utf8);

class UaAccessControl {
public:
    UaAccessControl(const UaSecuritySettings& settings, UaUserStore users, UaLoginDelays delays = {});
    ~UaAccessControl();
    UaAccessControl(const UaAccessControl&) = delete;
    UaAccessControl& operator=(const UaAccessControl&) = delete;

    // Takes the place of the configuration's access control and gives each
    // of its endpoints (all added already) the identity tokens it accepts:
    // anonymous where the settings let anonymous clients in; a user name over
    // SignAndEncrypt, and without remote access over Sign and None too (its
    // password encrypted by the endpoint's policy, on None by Basic256Sha256).
    // With remote access only SignAndEncrypt endpoints stay, unless unsecured
    // connections are allowed; an endpoint without tokens goes, and without
    // its endpoint security None serves discovery only.
    UA_StatusCode Install(UA_ServerConfig& config);
    // Receives and sends of the TCP connection manager pass through here (call
    // after the bounded send is in place): the client's address is known to
    // the session hooks, and the answer to a failed login waits in the send
    // path while the server goes on serving everyone else.
    void HookConnections(UA_EventLoop* loop);
    // The server made from the configuration; before it runs.
    void Attach(UA_Server* server);

    // New users and anonymous role, in place (the token kinds and addresses
    // must stay as they are: Stop and Start for those). Open sessions follow
    // at once: each takes its user's role from `users` (anonymous ones the
    // anonymous role), and the sessions of users no longer there are closed.
    // Remembered successful logins are forgotten. Any thread.
    // Without `users` the users stay as they are.
    void Apply(const UaSecuritySettings& settings, std::optional<UaUserStore> users);
    // In place of the user store's own check (tests that need thousands of
    // cheap failures).
    void SetUserCheck(UaUserCheck check);

    // Who the session with this context is (its context as the stack keeps
    // it, made by this class); nothing without one.
    static std::optional<UaSessionIdentity> IdentityOf(const void* sessionContext);

    struct Session;
    struct Connection;

private:
    // The stack's hooks.
    static UA_StatusCode ActivateHook(UA_Server*, UA_AccessControl*, const UA_EndpointDescription*,
                                      const UA_ByteString*, const UA_NodeId*, const UA_ExtensionObject*, void**);
    static void CloseHook(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*);
    static void ClearHook(UA_AccessControl*);
    static UA_StatusCode OpenConnectionHook(UA_ConnectionManager*, const UA_KeyValueMap*, void*, void*,
                                            UA_ConnectionManager_connectionCallback);
    static void ReceiveHook(UA_ConnectionManager*, uintptr_t, void*, void**, UA_ConnectionState, const UA_KeyValueMap*,
                            UA_ByteString);
    static UA_StatusCode SendHook(UA_ConnectionManager*, uintptr_t, const UA_KeyValueMap*, UA_ByteString*);
    static void FlushHook(UA_Server*, void*);
    static void SweepHook(UA_Server*, void*);

    UA_StatusCode Activate(const UA_EndpointDescription* endpoint, const UA_NodeId& sessionId,
                           const UA_ExtensionObject* token, void** sessionContext);
    UA_StatusCode LogIn(const UA_EndpointDescription* endpoint, const UA_UserNameIdentityToken& token,
                        const Connection* connection, std::optional<UaRole>& role);
    void Admit(const UA_NodeId& sessionId, std::wstring user, bool anonymous, UaRole role, void** sessionContext);
    void Close(const UA_NodeId& sessionId);
    void Received(uintptr_t connection, UA_ConnectionState state, const UA_KeyValueMap* params);
    UA_StatusCode Send(UA_ConnectionManager* manager, uintptr_t connection, const UA_KeyValueMap* params,
                       UA_ByteString* buffer);
    void Flush();
    // Closes the sessions never activated that no client can activate any more.
    void Sweep();
    void Forget(uintptr_t connection);
    void ArmFlush(std::uint64_t due);
    Connection* ReceivingConnection();
    // The delay before the answer to a failed login from `key`; counts it.
    unsigned CountFailure(const std::string& key, std::uint64_t now);
    bool Throttled(const std::string& key, std::uint64_t now) const;
    // Whether the next line about `key` is written: the first few, then one per longest delay.
    bool LogAllowed(const std::string& key, std::uint64_t now, bool refusal = false);
    void HoldNextSend(const Connection* connection, unsigned delayMs);

    const UaLoginDelays m_delays;
    UA_Server* m_server = nullptr;
    UA_ConnectionManager* m_manager = nullptr;
    UA_StatusCode (*m_nextSend)(UA_ConnectionManager*, uintptr_t, const UA_KeyValueMap*, UA_ByteString*) = nullptr;
    UA_StatusCode (*m_nextOpen)(UA_ConnectionManager*, const UA_KeyValueMap*, void*, void*,
                                UA_ConnectionManager_connectionCallback) = nullptr;
    UA_ConnectionManager_connectionCallback m_serverReceive = nullptr;
    const UA_ConnectionManager* m_registered = nullptr;

    // The endpoint's thread alone.
    std::unordered_map<uintptr_t, std::unique_ptr<Connection>> m_connections;
    struct Penalty {
        unsigned failures = 0;
        std::uint64_t lastFailure = 0;
        std::uint64_t until = 0;  // attempts before this are refused unchecked
        std::uint64_t lastLogged = 0;
        unsigned refusals = 0;  // sessions the stack refused (not failed logins)
    };
    std::unordered_map<std::string, Penalty> m_penalties;
    uintptr_t m_holdConnection = 0;  // the next send on it waits
    std::uint64_t m_holdUntil = 0;
    uintptr_t m_refusedConnection = 0;  // refused here: the stack's count of refusals moved for it
    size_t m_rejectedSeen = 0;
    std::uint64_t m_flushArmedFor = 0;

    mutable std::mutex m_lock;  // guards what follows
    UaSecuritySettings m_settings;
    std::shared_ptr<const UaUserStore> m_users;
    UaUserCheck m_check;
    std::unordered_map<std::string, UaRole> m_remembered;  // keyed hashes of good logins
    std::string m_rememberKey;
    std::map<std::string, std::unique_ptr<Session>> m_sessions;
};
