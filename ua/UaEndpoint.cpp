// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaEndpoint.h"

#include <algorithm>
#include <cstring>

#include "EventLog.h"
#include "FileTime.h"
#include "ProgramPaths.h"
#include "Text.h"
#include "UaAccessControl.h"
#include "UaAddressSpace.h"
#include "UaCertificate.h"
#include "UaCertificateFacts.h"
#include "UaCommon.h"
#include "UaConditions.h"
#include "UaHistory.h"
#include "UaHistoryNodes.h"
#include "UaMapping.h"
#include "UaTrust.h"
#include "VersionInfo.h"

namespace {
// The loop wakes this often to hand tag changes to the monitored items.
// Changes reach monitored items within the fast interval; with none to feed,
// the pump only follows the configuration's shape, and wakes less.
constexpr double kPumpIntervalMs = 10;
constexpr double kIdlePumpIntervalMs = 50;
// One publish carries this many notifications: a period of 10,000 changing
// items fits in one.
constexpr UA_UInt32 kNotificationsPerPublish = 50000;
constexpr UA_UInt32 kMostQueuedNotifications = 100000;
constexpr UA_UInt16 kMostSecureChannels = 250;
// What one client's message may hold in the server's memory; chunks are 8 kB
// at the least, and their headers leave room for a little less: twice that.
constexpr UA_UInt32 kMostMessageBytes = 16 * 1024 * 1024;
constexpr UA_UInt32 kMostChunks = 2 * kMostMessageBytes / 8192;
constexpr UA_UInt16 kMostSessions = 200;
// A Browse of a folder of any size answers in pages (about 1 MB each) with a
// continuation point, never with a response too large to send.
constexpr UA_UInt32 kMostReferencesPerBrowse = 10000;

// A client whose socket takes nothing for this long has stopped reading. The
// stack's own send waits for room as long as it takes, with the whole server
// waiting behind it: this bound lets one stuck client cost only itself.
constexpr ULONGLONG kMostSendStallMs = 1000;

UA_StatusCode SendWithinBound(UA_ConnectionManager* manager, uintptr_t connection, const UA_KeyValueMap*,
                              UA_ByteString* buffer) {
    const SOCKET socket = static_cast<SOCKET>(connection);  // the TCP manager's connection IDs are its sockets
    size_t sent = 0;
    ULONGLONG stalledSince = 0;
    while (sent < buffer->length) {
        const int piece = static_cast<int>(std::min<size_t>(buffer->length - sent, 1 << 30));
        const int n = send(socket, reinterpret_cast<const char*>(buffer->data) + sent, piece, 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            stalledSince = 0;
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) break;
        const ULONGLONG now = GetTickCount64();
        if (stalledSince == 0) stalledSince = now;
        if (now - stalledSince >= kMostSendStallMs) break;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket, &writable);
        timeval wait{0, 50 * 1000};
        select(0, nullptr, &writable, nullptr, &wait);
    }
    const bool whole = sent == buffer->length;
    UA_ByteString_clear(buffer);
    if (whole) return UA_STATUSCODE_GOOD;
    manager->closeConnection(manager, connection);
    return UA_STATUSCODE_BADCONNECTIONCLOSED;
}

// Puts the bounded send in place of the TCP connection manager's own.
void BoundTheSends(UA_EventLoop* loop) {
    const UA_String tcp = UA_STRING(const_cast<char*>("tcp"));
    for (UA_EventSource* source = loop != nullptr ? loop->eventSources : nullptr; source != nullptr;
         source = source->next) {
        if (source->eventSourceType != UA_EVENTSOURCETYPE_CONNECTIONMANAGER) continue;
        auto* manager = reinterpret_cast<UA_ConnectionManager*>(source);
        if (UA_String_equal(&manager->protocol, &tcp)) manager->sendWithConnection = &SendWithinBound;
    }
}

UA_String CopyText(std::wstring_view text) {
    const BorrowedText borrowed(text);
    const UA_String string = borrowed.String();
    UA_String out = UA_STRING_NULL;
    UA_String_copy(&string, &out);
    return out;
}

void SetText(UA_String& target, std::wstring_view text) {
    UA_String_clear(&target);
    target = CopyText(text);
}

std::string SessionKey(const UA_NodeId* sessionId) {
    UA_String text = UA_STRING_NULL;
    UA_NodeId_print(sessionId, &text);
    std::string key(reinterpret_cast<const char*>(text.data), text.length);
    UA_String_clear(&text);
    return key;
}

std::wstring PolicyName(const UA_String& uri) {
    const std::wstring text = TextOf(uri);
    const size_t hash = text.rfind(L'#');
    return hash == std::wstring::npos ? text : text.substr(hash + 1);
}

std::wstring ModeName(UA_MessageSecurityMode mode) {
    switch (mode) {
    case UA_MESSAGESECURITYMODE_SIGN: return L"Sign";
    case UA_MESSAGESECURITYMODE_SIGNANDENCRYPT: return L"SignAndEncrypt";
    default: return L"None";
    }
}

UaEndpoint* EndpointOf(UA_Server* server) { return static_cast<UaEndpoint*>(UA_Server_getConfig(server)->context); }

// The access control's own hooks, wrapped so that the endpoint hears of sessions.
UA_StatusCode (*theDefaultActivate)(UA_Server*, UA_AccessControl*, const UA_EndpointDescription*, const UA_ByteString*,
                                    const UA_NodeId*, const UA_ExtensionObject*, void**) = nullptr;
void (*theDefaultClose)(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*) = nullptr;

UA_StatusCode ActivateSession(UA_Server* server, UA_AccessControl* control, const UA_EndpointDescription* endpoint,
                              const UA_ByteString* certificate, const UA_NodeId* sessionId,
                              const UA_ExtensionObject* identity, void** sessionContext) {
    const UA_StatusCode status =
        theDefaultActivate(server, control, endpoint, certificate, sessionId, identity, sessionContext);
    if (status != UA_STATUSCODE_GOOD) return status;
    UaSessionRow row;
    UA_Variant description;
    if (UA_Server_getSessionAttributeCopy(server, sessionId,
                                          UA_QUALIFIEDNAME(0, const_cast<char*>("clientDescription")),
                                          &description) == UA_STATUSCODE_GOOD) {
        if (UA_Variant_hasScalarType(&description, &UA_TYPES[UA_TYPES_APPLICATIONDESCRIPTION])) {
            const auto* client = static_cast<const UA_ApplicationDescription*>(description.data);
            row.client = TextOf(client->applicationName.text);
            if (row.client.empty()) row.client = TextOf(client->applicationUri);
        }
        UA_Variant_clear(&description);
    }
    if (endpoint != nullptr) {
        row.policy = PolicyName(endpoint->securityPolicyUri);
        row.mode = ModeName(endpoint->securityMode);
    }
    // Who the access control let in.
    if (const std::optional<UaSessionIdentity> who = UaAccessControl::IdentityOf(*sessionContext)) {
        row.user = who->user;
        row.address = who->address;
        row.role = who->role;
    }
    row.since = FileTimeNow();
    row.lastCall = row.since;
    EndpointOf(server)->NoteSession(SessionKey(sessionId), std::move(row));
    return status;
}

void CloseSession(UA_Server* server, UA_AccessControl* control, const UA_NodeId* sessionId, void* sessionContext) {
    theDefaultClose(server, control, sessionId, sessionContext);
    if (sessionId != nullptr) EndpointOf(server)->History().ForgetSession(*sessionId);
    EndpointOf(server)->ForgetSession(SessionKey(sessionId));
}

void MonitoredItemRegistered(UA_Server* server, const UA_NodeId*, void*, const UA_NodeId* nodeId, void*, UA_UInt32,
                             UA_Boolean removed) {
    if (nodeId == nullptr) return;
    UaEndpoint* endpoint = EndpointOf(server);
    endpoint->AddressSpace().MonitoredItemRegistered(*nodeId, removed);
    endpoint->PaceThePump();
}

void PumpCallback(UA_Server* server, void* data) {
    (void)server;
    static_cast<UaEndpoint*>(data)->Pump();
}

// Where the server listens: the loopback name only, or (with an empty host)
// every address of every interface, IPv4 and IPv6.
UA_StatusCode SetServerUrl(UA_ServerConfig& config, bool remote, unsigned port) {
    UA_Array_delete(config.serverUrls, config.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    config.serverUrls = nullptr;
    config.serverUrlsSize = 0;
    const std::string url = (remote ? "opc.tcp://:" : "opc.tcp://localhost:") + std::to_string(port);
    const UA_String listen = BorrowedString(url);
    const UA_StatusCode status =
        UA_Array_copy(&listen, 1, reinterpret_cast<void**>(&config.serverUrls), &UA_TYPES[UA_TYPES_STRING]);
    if (status == UA_STATUSCODE_GOOD) config.serverUrlsSize = 1;
    return status;
}

// The names a client on another computer may reach the server by: its host
// name, its full DNS name and each of its addresses. The stack adds the name
// each listening socket reports, when another.
UA_StatusCode SetDiscoveryUrls(UA_ServerConfig& config, unsigned port) {
    std::vector<std::string> hosts = {HostName(), FullyQualifiedHostName()};
    for (const std::string& address : LocalAddresses())
        hosts.push_back(address.find(':') != std::string::npos ? "[" + address + "]" : address);
    std::vector<std::string> urls;
    for (const std::string& host : hosts) {
        const std::string url = "opc.tcp://" + host + ":" + std::to_string(port);
        if (std::find(urls.begin(), urls.end(), url) == urls.end()) urls.push_back(url);
    }
    UA_ApplicationDescription& description = config.applicationDescription;
    UA_Array_delete(description.discoveryUrls, description.discoveryUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    description.discoveryUrls = nullptr;
    description.discoveryUrlsSize = 0;
    for (const std::string& url : urls) {
        const UA_String text = BorrowedString(url);
        const UA_StatusCode status =
            UA_Array_appendCopy(reinterpret_cast<void**>(&description.discoveryUrls), &description.discoveryUrlsSize,
                                &text, &UA_TYPES[UA_TYPES_STRING]);
        if (status != UA_STATUSCODE_GOOD) return status;
    }
    return UA_STATUSCODE_GOOD;
}

// Fills what the server says of itself: who made it, which version, its URI.
void DescribeServer(UA_ServerConfig& config, const std::string& applicationUri) {
    SetText(config.applicationDescription.applicationUri, FromUtf8(applicationUri));
    SetText(config.applicationDescription.productUri, L"urn:Zelkor:ToviExplorer");
    SetText(config.applicationDescription.applicationName.text, GetProductName());
    SetText(config.applicationDescription.applicationName.locale, L"en");
    SetText(config.buildInfo.productUri, L"urn:Zelkor:ToviExplorer");
    SetText(config.buildInfo.manufacturerName, GetCompanyName());
    SetText(config.buildInfo.productName, GetProductName());
    std::wstring version;
    if (!GetProductVersion(GetModulePath(), version)) version = L"0";
    SetText(config.buildInfo.softwareVersion, version);
    SetText(config.buildInfo.buildNumber, version);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (GetFileAttributesExW(GetModulePath().c_str(), GetFileExInfoStandard, &attributes)) {
        ULARGE_INTEGER ticks;
        ticks.LowPart = attributes.ftLastWriteTime.dwLowDateTime;
        ticks.HighPart = attributes.ftLastWriteTime.dwHighDateTime;
        config.buildInfo.buildDate = static_cast<UA_DateTime>(ticks.QuadPart);
    }
}
}  // namespace

UaEndpoint::UaEndpoint(Configuration& configuration)
    : m_configuration(configuration),
      m_space(std::make_unique<UaAddressSpace>(configuration)),
      m_conditions(std::make_unique<UaConditions>(configuration)),
      m_history(std::make_unique<UaHistory>(
          [space = m_space.get()](const std::string& itemId) { return space->HistoryOf(itemId); })) {
    m_conditions->SetHistoryLinks([this](const std::string& itemId) -> std::optional<UA_NodeId> {
        const std::optional<bool> stepped = m_space->SteppedHistoryOf(itemId);
        if (!stepped) return std::nullopt;
        return HistoryConfigurationId(m_historyNamespace, *stepped);
    });
}

UaEndpoint::~UaEndpoint() { Stop(std::wstring(), 0); }

bool UaEndpoint::Start(const UaEndpointOptions& options) {
    if (m_thread.IsRunning()) return m_serving.load();
    m_port = options.port;
    m_security = options.security;
    m_remote = options.security.remote;
    m_usersFile = options.usersFile.empty() ? UaUserStorePath() : options.usersFile;
    const std::string host = HostName();
    const std::string applicationUri = EndpointApplicationUri(host);

    // Besides 127.0.0.1, the certificate names the addresses the endpoint listens on.
    const std::vector<std::string> addresses = m_security.remote ? LocalAddresses() : std::vector<std::string>();
    UaCertificate certificate;
    if (!LoadOrMakeCertificate(options.pkiFolder, applicationUri, host, addresses, certificate)) {
        LogStatus(certificate.error);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_certificateNames = ServerCertificateNames(applicationUri, host, addresses);
    }
    if (!certificate.error.empty()) theEventLog << L"OPC UA:" << certificate.error << EventLog::EndEntry;
    if (!certificate.notice.empty()) theEventLog << L"OPC UA:" << certificate.notice << EventLog::EndEntry;
    if (certificate.made) {
        theEventLog << L"OPC UA server certificate made in:" << options.pkiFolder << EventLog::EndEntry;
    }

    UA_ServerConfig config;
    std::memset(&config, 0, sizeof config);
    config.logging = &QuietUaLogger();
    config.secureChannelPKI.logging = &QuietUaLogger();
    config.sessionPKI.logging = &QuietUaLogger();
    UA_StatusCode status = UA_ServerConfig_setBasics_withPort(&config, static_cast<UA_UInt16>(m_port));
    // Before any node is added: the conditions' nodes are made on demand.
    if (status == UA_STATUSCODE_GOOD) m_conditions->InstallNodeStore(config);
    if (status == UA_STATUSCODE_GOOD) status = SetServerUrl(config, m_security.remote, m_port);
    if (status == UA_STATUSCODE_GOOD && m_security.remote) status = SetDiscoveryUrls(config, m_port);
    if (status == UA_STATUSCODE_GOOD) status = UA_ServerConfig_addSecurityPolicyNone(&config, &certificate.certificate);
    if (status == UA_STATUSCODE_GOOD) {
        status =
            UA_ServerConfig_addSecurityPolicyBasic256Sha256(&config, &certificate.certificate, &certificate.privateKey);
    }
    if (status == UA_STATUSCODE_GOOD) {
        status = UA_ServerConfig_addSecurityPolicyAes128Sha256RsaOaep(&config, &certificate.certificate,
                                                                      &certificate.privateKey);
    }
    if (status == UA_STATUSCODE_GOOD) {
        status = UA_ServerConfig_addSecurityPolicyAes256Sha256RsaPss(&config, &certificate.certificate,
                                                                     &certificate.privateKey);
    }
    // Which client certificates are taken: after the basics, which accept any.
    std::wstring trustError;
    m_trust = std::make_unique<UaTrust>(options.pkiFolder, options.security.remote);
    if (status == UA_STATUSCODE_GOOD && !m_trust->Install(config, trustError)) {
        UA_ServerConfig_clean(&config);
        LogStatus(L"The OPC UA endpoint could not be set up: " + trustError);
        return false;
    }
    if (!trustError.empty()) theEventLog << L"OPC UA trusted certificates:" << trustError << EventLog::EndEntry;
    // The access control keeps those endpoints its settings offer.
    if (status == UA_STATUSCODE_GOOD) status = UA_ServerConfig_addAllEndpoints(&config);
    // Who may connect: the users as the store has them now (none when it cannot be read).
    UaUserStore users(m_usersFile);
    std::wstring usersError;
    if (!users.Load(usersError)) theEventLog << L"OPC UA users not loaded:" << usersError << EventLog::EndEntry;
    UaLoginDelays delays;
    delays.firstMs = options.loginDelayMs;
    delays.mostMs = options.longestLoginDelayMs;
    delays.forgetAfterMs = options.loginsForgottenAfterMs;
    m_access = std::make_unique<UaAccessControl>(m_security, std::move(users), delays);
    if (m_userCheck) m_access->SetUserCheck(m_userCheck);
    if (status == UA_STATUSCODE_GOOD) status = m_access->Install(config);
    if (status != UA_STATUSCODE_GOOD) {
        UA_ServerConfig_clean(&config);
        m_access.reset();
        LogStatus(L"The OPC UA endpoint could not be set up: " + FromUtf8(UA_StatusCode_name(status)) + L".");
        return false;
    }
    DescribeServer(config, applicationUri);
    config.context = this;
    config.maxNotificationsPerPublish = kNotificationsPerPublish;
    // Well inside what one select() of the event loop holds (FD_SETSIZE 1024).
    config.maxSecureChannels = kMostSecureChannels;
    config.maxSessions = kMostSessions;
    config.tcpMaxMsgSize = kMostMessageBytes;
    config.tcpMaxChunks = kMostChunks;
    config.maxReferencesPerNode = kMostReferencesPerBrowse;
    config.monitoredItemRegisterCallback = &MonitoredItemRegistered;
    m_history->Install(config);
    // An alarm burst fills an event item's queue at once: a client's queue
    // size is kept as asked, far beyond the stack's default bound.
    config.queueSizeLimits.min = 1;
    config.queueSizeLimits.max = kMostQueuedNotifications;
    BoundTheSends(config.eventLoop);
    m_access->HookConnections(config.eventLoop);
    theDefaultActivate = config.accessControl.activateSession;
    theDefaultClose = config.accessControl.closeSession;
    config.accessControl.activateSession = &ActivateSession;
    config.accessControl.closeSession = &CloseSession;

    m_server = UA_Server_newWithConfig(&config);
    if (m_server == nullptr) {
        m_access.reset();
        LogStatus(L"The OPC UA endpoint could not be set up: out of memory.");
        return false;
    }
    m_access->Attach(m_server);
    m_stop = false;
    m_announced = false;
    m_started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_started == nullptr || !m_thread.Start([this] { return Loop(); })) {
        UA_Server_delete(m_server);
        m_server = nullptr;
        m_access.reset();
        LogStatus(L"The OPC UA endpoint could not start its thread.");
        return false;
    }
    WaitForSingleObject(m_started, INFINITE);
    if (!m_serving) {
        m_thread.Join();
        UA_Server_delete(m_server);
        m_server = nullptr;
        m_access.reset();
    }
    return m_serving;
}

void UaEndpoint::Pump() {
    m_space->Pump();
    if (m_space->NodesVersion() != m_conditionsSeenNodes) {
        m_conditionsSeenNodes = m_space->NodesVersion();
        m_conditions->TagNodesChanged();
    }
    m_conditions->Pump();
}

void UaEndpoint::PaceThePump() {
    const bool fast = m_space->Watched();
    if (m_pump == 0 || fast == m_pumpFast) return;
    m_pumpFast = fast;
    UA_Server_changeRepeatedCallbackInterval(m_server, m_pump, fast ? kPumpIntervalMs : kIdlePumpIntervalMs);
}

unsigned UaEndpoint::Loop() {
    // Every node is there before the first client can connect.
    m_space->Build(m_server);
    m_conditions->Build(m_server, m_space->NamespaceIndex());
    m_history->SetNamespace(m_space->NamespaceIndex());
    m_historyNamespace = AddHistoryNodes(m_server, m_history->Limits());
    UA_StatusCode status = UA_Server_run_startup(m_server);
    if (status != UA_STATUSCODE_GOOD) {
        m_space->Detach();
        m_conditions->Detach();
        UA_Server_run_shutdown(m_server);
        LogStatus(L"The OPC UA endpoint cannot listen on port " + std::to_wstring(m_port) +
                  L" (it may be in use by another program); DA clients are served as usual.");
        SetEvent(m_started);
        return 1;
    }
    m_pumpFast = false;
    UA_Server_addRepeatedCallback(m_server, &PumpCallback, this, kIdlePumpIntervalMs, &m_pump);
    m_serving = true;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_status = Url() + ModeText();
        m_failed = false;
    }
    theEventLog << L"OPC UA endpoint serving at:" << Url() + ModeText() << EventLog::EndEntry;
    SetEvent(m_started);

    while (!m_stop.load()) UA_Server_run_iterate(m_server, true);

    const unsigned seconds = m_stopSeconds.load();
    if (seconds > 0 && SessionCount() > 0) {
        if (!m_announced) AnnounceShutdown(m_stopReason, seconds);
        const ULONGLONG end = GetTickCount64() + seconds * 1000ULL;
        while (GetTickCount64() < end && SessionCount() > 0) UA_Server_run_iterate(m_server, true);
    }
    UA_Server_removeCallback(m_server, m_pump);
    m_pump = 0;
    m_space->Detach();
    m_conditions->Detach();
    UA_Server_run_shutdown(m_server);
    m_serving = false;
    return 0;
}

void UaEndpoint::AnnounceShutdown(const std::wstring& reason, unsigned seconds) {
    if (!m_serving || m_server == nullptr || seconds == 0) return;
    m_announced = true;
    const BorrowedText reasonText(reason);
    UA_LocalizedText text = reasonText.Localized();
    text.locale = UA_STRING(const_cast<char*>("en"));
    UA_Variant value;
    UA_Variant_setScalar(&value, &text, &UA_TYPES[UA_TYPES_LOCALIZEDTEXT]);
    UA_Server_writeValue(m_server, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_SHUTDOWNREASON), value);
    // The stack counts down from here and reports the state Shutdown meanwhile.
    UA_UInt32 left = seconds;
    UA_Variant_setScalar(&value, &left, &UA_TYPES[UA_TYPES_UINT32]);
    UA_Server_writeValue(m_server, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_SECONDSTILLSHUTDOWN), value);
}

void UaEndpoint::Stop(const std::wstring& reason, unsigned seconds) {
    if (!m_thread.IsRunning()) return;
    m_stopReason = reason;
    m_stopSeconds = seconds;
    m_stop = true;
    m_thread.Join();
    if (m_server != nullptr) {
        UA_Server_delete(m_server);
        m_server = nullptr;
    }
    m_access.reset();
    if (m_started != nullptr) {
        CloseHandle(m_started);
        m_started = nullptr;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_sessions.clear();
    m_status = L"OPC UA endpoint closed";
    m_failed = false;
}

std::wstring UaEndpoint::Url() const {
    if (!m_serving) return std::wstring();
    const std::wstring host = m_remote ? FromUtf8(HostName()) : L"localhost";
    return L"opc.tcp://" + host + L":" + std::to_wstring(m_port) + L"/";
}

std::wstring UaEndpoint::ModeText() const { return m_remote ? L" (clients from other computers too)" : L""; }

bool UaEndpoint::ApplySecurity(const UaSecuritySettings& security) {
    if (!m_serving || m_access == nullptr) return true;
    if (security.ListensAsOther(m_security)) return false;
    UaUserStore users(m_usersFile);
    std::wstring error;
    std::optional<UaUserStore> loaded;
    if (users.Load(error)) {
        loaded = std::move(users);
    } else {
        theEventLog << L"OPC UA users not loaded again, the last ones kept:" << error << EventLog::EndEntry;
    }
    m_access->Apply(security, std::move(loaded));
    m_security = security;
    return true;
}

void UaEndpoint::SetUserCheck(UserCheck check) {
    m_userCheck = std::move(check);
    if (m_access != nullptr) m_access->SetUserCheck(m_userCheck);
}

std::wstring UaEndpoint::PaneText() const {
    if (m_serving) return L"OPC UA: " + Url() + ModeText();
    std::lock_guard<std::mutex> guard(m_lock);
    return m_failed ? L"OPC UA: not serving (see the event log)" : L"OPC UA: off";
}

std::wstring UaEndpoint::StatusText() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_status;
}

size_t UaEndpoint::SessionCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sessions.size();
}

std::vector<UaSessionRow> UaEndpoint::Sessions() const {
    std::map<std::string, UaSessionRow> rows;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        rows = m_sessions;
    }
    if (rows.empty() || !m_serving || m_server == nullptr) return {};
    // The server's own diagnostics count each session's subscriptions and
    // monitored items and know its last call; read without our lock held.
    UA_Variant diagnostics;
    UA_Variant_init(&diagnostics);
    const UA_NodeId array =
        UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERDIAGNOSTICS_SESSIONSDIAGNOSTICSSUMMARY_SESSIONDIAGNOSTICSARRAY);
    if (UA_Server_readValue(m_server, array, &diagnostics) == UA_STATUSCODE_GOOD &&
        diagnostics.type == &UA_TYPES[UA_TYPES_SESSIONDIAGNOSTICSDATATYPE]) {
        const auto* sessions = static_cast<const UA_SessionDiagnosticsDataType*>(diagnostics.data);
        for (size_t i = 0; i < diagnostics.arrayLength; ++i) {
            auto row = rows.find(SessionKey(&sessions[i].sessionId));
            if (row == rows.end()) continue;
            row->second.subscriptions = sessions[i].currentSubscriptionsCount;
            row->second.monitoredItems = sessions[i].currentMonitoredItemsCount;
            const UA_DateTime last = sessions[i].clientLastContactTime;
            row->second.lastCall.dwLowDateTime = static_cast<DWORD>(last);
            row->second.lastCall.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(last) >> 32);
        }
    }
    UA_Variant_clear(&diagnostics);
    std::vector<UaSessionRow> list;
    for (auto& [key, row] : rows) list.push_back(std::move(row));
    return list;
}

std::vector<std::string> UaEndpoint::CertificateNames() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_certificateNames;
}

bool UaEndpoint::ReloadTrust(std::wstring& error) {
    error.clear();
    return m_trust == nullptr || m_trust->Reload(error);
}

void UaEndpoint::SetSessionsChangedHandler(SessionsChangedHandler handler) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sessionsChanged = std::move(handler);
}

void UaEndpoint::NoteSession(const std::string& key, UaSessionRow row) {
    SessionsChangedHandler handler;
    bool arrived;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto [entry, inserted] = m_sessions.try_emplace(key, row);
        arrived = inserted;
        if (!inserted) {
            row.since = entry->second.since;
            entry->second = row;  // activated again: a new user or channel
        }
        handler = m_sessionsChanged;
    }
    if (!arrived) return;
    // The client names itself: its name is shown as text, never as lines of the log.
    theEventLog << L"OPC UA session opened:" << AuditName(ToUtf8(row.client)) << L"from" << row.address
                << row.policy + L"/" + row.mode << L"user" << row.user + L" (" + RoleName(row.role) + L")"
                << EventLog::EndEntry;
    if (handler) handler(true, row);
}

void UaEndpoint::ForgetSession(const std::string& key) {
    SessionsChangedHandler handler;
    UaSessionRow row;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto entry = m_sessions.find(key);
        if (entry == m_sessions.end()) return;
        row = entry->second;
        m_sessions.erase(entry);
        handler = m_sessionsChanged;
    }
    theEventLog << L"OPC UA session closed:" << AuditName(ToUtf8(row.client)) << L"from" << row.address
                << EventLog::EndEntry;
    if (handler) handler(false, row);
}

void UaEndpoint::LogStatus(const std::wstring& text) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_status = text;
        m_failed = true;
    }
    theEventLog << text << EventLog::EndEntry;
}
