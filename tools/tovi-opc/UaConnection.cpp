#include "UaStack.h"

#include "UaConnection.h"

#include <cstring>

#include "Console.h"
#include "Text.h"
#include "UaCommon.h"
#include "UaValueText.h"

namespace {
const char* PolicyUri(UaPolicy policy) {
    switch (policy) {
    case UaPolicy::Basic256Sha256: return "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
    case UaPolicy::Aes128Sha256RsaOaep: return "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep";
    case UaPolicy::Aes256Sha256RsaPss: return "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss";
    case UaPolicy::None:
    default: return "http://opcfoundation.org/UA/SecurityPolicy#None";
    }
}

UA_StatusCode Configure(const Arguments& args, UA_ClientConfig& config) {
    const std::string host = HostName();
    // The server checks this against the certificate's URI.
    const std::string applicationUri = "urn:" + host + ":Zelkor:tovi-opc";
    // The stack would otherwise write its own log lines into the tool's output.
    config.logging = &QuietUaLogger();
    config.clientDescription.applicationUri = UA_STRING_ALLOC(applicationUri.c_str());
    config.clientDescription.productUri = UA_STRING_ALLOC("urn:Zelkor:tovi-opc");
    config.clientDescription.applicationName =
        UA_LOCALIZEDTEXT_ALLOC(const_cast<char*>("en"), const_cast<char*>("tovi-opc"));
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    if (args.uaPolicy == UaPolicy::None) {
        status = UA_ClientConfig_setDefault(&config);
        config.securityMode = UA_MESSAGESECURITYMODE_NONE;
    } else {
        UA_ByteString certificate = UA_BYTESTRING_NULL;
        UA_ByteString privateKey = UA_BYTESTRING_NULL;
        // For this run only, kept nowhere: a server that takes only the
        // clients it was told to trust refuses it.
        status = MakeSelfSignedCertificate({"CN=tovi-opc@" + host, "O=Zelkor"},
                                           {"URI:" + applicationUri, "DNS:localhost"}, 365, certificate, privateKey);
        if (status == UA_STATUSCODE_GOOD) {
            status = UA_ClientConfig_setDefaultEncryption(&config, certificate, privateKey, nullptr, 0, nullptr, 0);
        }
        UA_ByteString_clear(&certificate);
        UA_ByteString_memZero(&privateKey);
        UA_ByteString_clear(&privateKey);
        // Any server certificate is taken: the tool has no trust list to check it against.
        if (status == UA_STATUSCODE_GOOD) UA_CertificateVerification_AcceptAll(&config.certificateVerification);
        config.securityMode =
            args.uaMode == UaMode::Sign ? UA_MESSAGESECURITYMODE_SIGN : UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
    }
    UA_String_clear(&config.securityPolicyUri);
    config.securityPolicyUri = UA_STRING_ALLOC(PolicyUri(args.uaPolicy));
    return status;
}

bool NodeIdOfText(const std::wstring& item, UA_NodeId& node) {
    const std::string utf8 = ToUtf8(item);
    UA_NodeId_init(&node);
    return UA_NodeId_parse(&node, BorrowedString(utf8)) == UA_STATUSCODE_GOOD;
}
}  // namespace

UaNodeIds::~UaNodeIds() {
    for (UA_NodeId& id : m_ids) UA_NodeId_clear(&id);
}

void UaNodeIds::Adopt(UA_NodeId id) { m_ids.push_back(id); }

UaConnection::~UaConnection() {
    if (m_client == nullptr) return;
    UA_Client_disconnect(m_client);
    UA_Client_delete(m_client);
}

bool UaConnection::ConnectOrReport(const Arguments& args) {
    const std::string url = ToUtf8(args.uaUrl);
    UA_ClientConfig config;
    std::memset(&config, 0, sizeof config);
    const UA_StatusCode status = Configure(args, config);
    if (status != UA_STATUSCODE_GOOD) {
        UA_ClientConfig_clear(&config);
        PrintError("the OPC UA client cannot be set up: " + UaResultText(status));
        return false;
    }
    m_client = UA_Client_newWithConfig(&config);
    if (m_client == nullptr) {
        UA_ClientConfig_clear(&config);
        PrintError("the OPC UA client cannot be set up: out of memory");
        return false;
    }
    const UA_StatusCode connected = UA_Client_connect(m_client, url.c_str());
    if (connected != UA_STATUSCODE_GOOD) {
        PrintError("cannot connect to " + url + ": " + UaResultText(connected));
        return false;
    }
    // A lost server ends the command, as a DA server's death does. Only now:
    // a secure connection is made on a second channel, after the endpoints
    // were asked on a first.
    UA_ClientConfig* settings = UA_Client_getConfig(m_client);
    settings->noReconnect = true;
    settings->noNewSession = true;
    return true;
}

bool UaConnection::NamespaceOrReport(const char* uri, UA_UInt16& index, bool quiet) {
    UA_Variant namespaces;
    UA_Variant_init(&namespaces);
    const UA_StatusCode status =
        UA_Client_readValueAttribute(m_client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_NAMESPACEARRAY), &namespaces);
    if (status != UA_STATUSCODE_GOOD) {
        if (!quiet) PrintError("the server's namespaces cannot be read: " + UaResultText(status));
        return false;
    }
    bool found = false;
    if (namespaces.type == &UA_TYPES[UA_TYPES_STRING]) {
        const auto* uris = static_cast<const UA_String*>(namespaces.data);
        const size_t length = std::strlen(uri);
        for (size_t i = 0; i < namespaces.arrayLength && i <= 0xFFFF && !found; ++i) {
            found = uris[i].length == length && std::memcmp(uris[i].data, uri, length) == 0;
            if (found) index = static_cast<UA_UInt16>(i);
        }
    }
    UA_Variant_clear(&namespaces);
    if (!found && !quiet) {
        PrintError(std::string("the server has no namespace ") + uri +
                   ": name its nodes as NodeIds (ns=1;s=Name, i=2258)");
    }
    return found;
}

bool UaConnection::TagNamespaceOrReport(UA_UInt16& index, bool quiet) {
    if (!m_namespaceKnown) m_namespaceKnown = NamespaceOrReport(kTagsNamespaceUri, m_namespace, quiet);
    if (m_namespaceKnown) index = m_namespace;
    return m_namespaceKnown;
}

bool UaConnection::ConditionOrReport(const std::wstring& item, UaNodeIds& nodes) {
    UA_NodeId node;
    if (IsNodeIdText(item)) {
        if (!NodeIdsParseOrReport({item}) || !NodeIdOfText(item, node)) return false;
    } else {
        UA_UInt16 ns = 0;
        if (!NamespaceOrReport(kAlarmsNamespaceUri, ns, false)) return false;
        node = UA_NODEID_STRING_ALLOC(ns, ToUtf8(item).c_str());
    }
    nodes.Adopt(node);
    return true;
}

bool UaConnection::NodesOrReport(const std::vector<std::wstring>& items, UaNodeIds& nodes) {
    for (const std::wstring& item : items) {
        UA_NodeId node;
        if (IsNodeIdText(item)) {
            if (!NodeIdsParseOrReport({item}) || !NodeIdOfText(item, node)) return false;
        } else {
            UA_UInt16 ns = 0;
            if (!TagNamespaceOrReport(ns)) return false;
            node = UA_NODEID_STRING_ALLOC(ns, ToUtf8(item).c_str());
        }
        nodes.Adopt(node);
    }
    return true;
}

UA_StatusCode UaConnection::Health() const {
    UA_SecureChannelState channel = UA_SECURECHANNELSTATE_CLOSED;
    UA_SessionState session = UA_SESSIONSTATE_CLOSED;
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    UA_Client_getState(m_client, &channel, &session, &status);
    if (status != UA_STATUSCODE_GOOD) return status;
    if (channel != UA_SECURECHANNELSTATE_OPEN) return UA_STATUSCODE_BADSECURECHANNELCLOSED;
    if (session != UA_SESSIONSTATE_ACTIVATED) return UA_STATUSCODE_BADSESSIONCLOSED;
    return UA_STATUSCODE_GOOD;
}

UA_StatusCode ReadEach(UA_Client* client, const UaNodeIds& nodes, UA_UInt32 attribute, UA_TimestampsToReturn timestamps,
                       UA_ReadResponse& response) {
    std::vector<UA_ReadValueId> reads(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        UA_ReadValueId_init(&reads[i]);
        reads[i].nodeId = nodes[i];  // borrowed for the call
        reads[i].attributeId = attribute;
    }
    UA_ReadRequest request;
    UA_ReadRequest_init(&request);
    request.nodesToRead = reads.data();
    request.nodesToReadSize = reads.size();
    request.timestampsToReturn = timestamps;
    response = UA_Client_Service_read(client, request);
    UA_StatusCode status = response.responseHeader.serviceResult;
    if (status == UA_STATUSCODE_GOOD && response.resultsSize != reads.size()) status = UA_STATUSCODE_BADUNEXPECTEDERROR;
    if (status != UA_STATUSCODE_GOOD) UA_ReadResponse_clear(&response);
    return status;
}

bool IsNodeIdText(const std::wstring& item) { return item.rfind(L"ns=", 0) == 0 || item.rfind(L"i=", 0) == 0; }

bool NodeIdsParseOrReport(const std::vector<std::wstring>& items) {
    for (const std::wstring& item : items) {
        UA_NodeId node;
        if (!IsNodeIdText(item)) continue;
        if (!NodeIdOfText(item, node)) {
            // Appended, not added: GCC 12 at -O3 misreads `"\"" + text` as an overlapping copy (-Wrestrict).
            PrintError(
                std::string("\"").append(ToUtf8(item)).append("\" is no NodeId (ns=1;s=Name, ns=1;i=42, i=2258)"));
            return false;
        }
        UA_NodeId_clear(&node);
    }
    return true;
}

std::string ItemOfNode(const UA_NodeId& node, UA_UInt16 tagNamespace) {
    if (node.namespaceIndex == tagNamespace && node.identifierType == UA_NODEIDTYPE_STRING) {
        return std::string(reinterpret_cast<const char*>(node.identifier.string.data), node.identifier.string.length);
    }
    UA_String text = UA_STRING_NULL;
    UA_NodeId_print(&node, &text);
    std::string printed(reinterpret_cast<const char*>(text.data), text.length);
    UA_String_clear(&text);
    return printed;
}
