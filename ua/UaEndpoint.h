#pragma once
// The OPC UA endpoint: serves the configuration's tags at
// opc.tcp://localhost:<port>/ (or, for clients from other computers too, at
// every address of this one) on one thread of its own, which owns the UA
// server from start to shutdown.
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Thread.h"
#include "UaSecuritySettings.h"

class Configuration;
class UaAccessControl;
class UaAddressSpace;
class UaConditions;
class UaHistory;
class UaTrust;
struct UA_Server;

inline constexpr unsigned kDefaultUaPort = 4840;

struct UaEndpointOptions {
    unsigned port = kDefaultUaPort;
    std::wstring pkiFolder;       // the application certificate's home
    UaSecuritySettings security;  // who may connect
    std::wstring usersFile;       // the user store; empty: UaUserStorePath()
    // Failed logins from one address: the first answer waits this long, each
    // further one twice as long up to the longest; forgotten after a quiet
    // while. Tests shorten them.
    unsigned loginDelayMs = 500;
    unsigned longestLoginDelayMs = 10000;
    unsigned loginsForgottenAfterMs = 5 * 60 * 1000;
};

// One UA session as the clients window lists it.
struct UaSessionRow {
    std::wstring client;         // the client application's name
    std::wstring policy;         // the security policy's short name
    std::wstring mode;           // None, Sign or SignAndEncrypt
    std::wstring user;           // "Anonymous" or the user name
    std::wstring address;        // the client's IP address
    UaRole role = UaRole::Read;  // as it was when the session opened
    FILETIME since{};
    FILETIME lastCall{};
    unsigned subscriptions = 0;
    unsigned monitoredItems = 0;
};

class UaEndpoint {
public:
    explicit UaEndpoint(Configuration& configuration);
    ~UaEndpoint();
    UaEndpoint(const UaEndpoint&) = delete;
    UaEndpoint& operator=(const UaEndpoint&) = delete;

    // Serves until Stop; false when it cannot (StatusText says why, and the
    // event log). Nothing else is touched either way.
    bool Start(const UaEndpointOptions& options);
    // Open sessions see the server state Shutdown, the seconds left and the
    // reason; the endpoint closes once they have gone or the seconds have
    // passed.
    void Stop(const std::wstring& reason, unsigned seconds);
    // Open sessions see the state Shutdown, the seconds left and the reason
    // from now on; Stop follows. Any thread.
    void AnnounceShutdown(const std::wstring& reason, unsigned seconds);

    // Takes the users anew from the store file, and the anonymous clients'
    // role, while serving: open sessions take their user's new role (anonymous
    // ones the anonymous role) and those of users no longer in the store are
    // closed. False, changing nothing, when `security` needs the endpoint to
    // listen anew (UaSecuritySettings::ListensAsOther): Stop and Start it then.
    // True when not serving (the next Start takes its options). On the thread
    // that starts and stops the endpoint.
    bool ApplySecurity(const UaSecuritySettings& security);
    // In place of the user store's check of a name and password (tests only).
    using UserCheck = std::function<std::optional<UaRole>(std::string_view nameUtf8, std::string_view passwordUtf8)>;
    void SetUserCheck(UserCheck check);

    bool IsServing() const noexcept { return m_serving.load(); }
    unsigned Port() const noexcept { return m_port; }
    // Whether it serves clients from other computers too.
    bool Remote() const noexcept { return m_remote.load(); }
    // opc.tcp://localhost:<port>/ while serving (opc.tcp://<host name>:<port>/
    // with remote access), else empty.
    std::wstring Url() const;
    // Why there is no endpoint, or its URL and who may connect, in words for the event log.
    std::wstring StatusText() const;
    // For the status bar: "OPC UA: ", the URL and, with remote access, "(clients
    // from other computers too)"; "off" or "not serving".
    std::wstring PaneText() const;
    size_t SessionCount() const;
    std::vector<UaSessionRow> Sessions() const;
    // Reads the trusted certificates anew (after the PKI folders changed)
    // while serving; any thread. False, with the reason, when some could not
    // be used.
    bool ReloadTrust(std::wstring& error);
    // What the server's certificate should name (its URI, host names and
    // addresses), as of the last start.
    std::vector<std::string> CertificateNames() const;
    // Called on the endpoint's thread after a session came (true) or went.
    using SessionsChangedHandler = std::function<void(bool opened, const UaSessionRow& session)>;
    void SetSessionsChangedHandler(SessionsChangedHandler handler);

    // The library's hooks report here (endpoint thread).
    void NoteSession(const std::string& key, UaSessionRow row);
    void ForgetSession(const std::string& key);
    UaAddressSpace& AddressSpace() noexcept { return *m_space; }
    UaHistory& History() noexcept { return *m_history; }
    // Quickens the pump while monitored items wait on it, slows it when none do.
    void PaceThePump();
    // The endpoint thread's timer: tag changes, then alarm events.
    void Pump();

private:
    unsigned Loop();
    void LogStatus(const std::wstring& text);

    std::wstring ModeText() const;

    Configuration& m_configuration;
    std::unique_ptr<UaAddressSpace> m_space;
    std::unique_ptr<UaConditions> m_conditions;
    std::unique_ptr<UaHistory> m_history;
    std::uint16_t m_historyNamespace = 0;  // the history configurations' (endpoint thread)
    unsigned long long m_conditionsSeenNodes = 0;
    std::vector<std::string> m_certificateNames;  // guarded by m_lock
    std::unique_ptr<UaTrust> m_trust;             // outlives the server, whose configuration refers to it
    std::unique_ptr<UaAccessControl> m_access;    // lives as long as the server
    UaSecuritySettings m_security;                // the server's (Start and ApplySecurity, on the owner's thread)
    std::atomic<bool> m_remote{false};
    std::wstring m_usersFile;
    UserCheck m_userCheck;
    UA_Server* m_server = nullptr;
    Thread m_thread;
    HANDLE m_started = nullptr;  // set once the loop knows whether it serves
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_serving{false};
    std::atomic<unsigned> m_stopSeconds{0};
    std::atomic<bool> m_announced{false};
    std::wstring m_stopReason;
    unsigned m_port = kDefaultUaPort;
    std::uint64_t m_pump = 0;  // the pump's repeated callback (endpoint thread)
    bool m_pumpFast = false;

    mutable std::mutex m_lock;  // guards what follows
    std::wstring m_status;
    bool m_failed = false;  // the last start could not serve
    std::map<std::string, UaSessionRow> m_sessions;
    SessionsChangedHandler m_sessionsChanged;
};
