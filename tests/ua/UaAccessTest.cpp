// Who may connect to the endpoint in this process, seen through the library's
// own UA client: the tokens each endpoint offers, what each role may do, the
// remote defaults, refused logins of every shape, the growing delay after
// failed logins while others are served, and users changed while serving.
#include "UaLibrary.h"
// The library's client, after the same Winsock order.
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <bcrypt.h>
#include <gtest/gtest.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Configuration.h"
#include "ScratchLog.h"
#include "TempFolder.h"
#include "Text.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "UaAccessControl.h"
#include "UaCommon.h"
#include "UaEndpoint.h"
#include "UaPkiStore.h"
#include "UaUserStore.h"
#include "WaitFor.h"
#include "WholeFile.h"

namespace {
using Clock = std::chrono::steady_clock;

const char kNoneUri[] = "http://opcfoundation.org/UA/SecurityPolicy#None";
const char kBasic256Sha256Uri[] = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
const char kTagsUri[] = "urn:Zelkor:ToviExplorer:Tags";

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The client's own certificate for the encrypting policies, made once.
struct ClientKeys {
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    UA_ByteString privateKey = UA_BYTESTRING_NULL;
};
const ClientKeys& Keys() {
    static const ClientKeys keys = [] {
        ClientKeys made;
        MakeSelfSignedCertificate({"CN=ua-access-test", "O=Zelkor"}, {"URI:urn:ua-access-test", "DNS:localhost"}, 30,
                                  made.certificate, made.privateKey);
        return made;
    }();
    return keys;
}

enum class Channel { None, Sign, Encrypt };

// An identity as a client sends it: anonymous, or a user name and password of any bytes.
struct Login {
    bool anonymous = true;
    std::string user;
    std::string password;
};
Login Anonymous() { return Login{}; }
Login User(std::string user, std::string password) { return Login{false, std::move(user), std::move(password)}; }

UA_UserTokenPolicy Policy(UA_UserTokenType type, const char* id, const char* securityPolicy = nullptr) {
    UA_UserTokenPolicy policy;
    UA_UserTokenPolicy_init(&policy);
    policy.tokenType = type;
    policy.policyId = UA_STRING_ALLOC(id);
    if (securityPolicy != nullptr) policy.securityPolicyUri = UA_STRING_ALLOC(securityPolicy);
    return policy;
}

// The endpoints the server describes (the caller clears them).
std::vector<UA_EndpointDescription> Endpoints(unsigned port) {
    UA_Client* client = UA_Client_new();
    UA_ClientConfig* config = UA_Client_getConfig(client);
    config->logging = &QuietUaLogger();
    // Able to encrypt: the client opens a channel to an endpoint it can use first.
    UA_ClientConfig_setDefaultEncryption(config, Keys().certificate, Keys().privateKey, nullptr, 0, nullptr, 0);
    UA_CertificateVerification_AcceptAll(&config->certificateVerification);
    UA_String_clear(&config->clientDescription.applicationUri);
    config->clientDescription.applicationUri = UA_STRING_ALLOC("urn:ua-access-test");
    config->logging = &QuietUaLogger();
    if (config->eventLoop != nullptr) config->eventLoop->logger = &QuietUaLogger();
    size_t count = 0;
    UA_EndpointDescription* endpoints = nullptr;
    const std::string url = "opc.tcp://localhost:" + std::to_string(port) + "/";
    std::vector<UA_EndpointDescription> list;
    if (UA_Client_getEndpoints(client, url.c_str(), &count, &endpoints) == UA_STATUSCODE_GOOD) {
        list.assign(endpoints, endpoints + count);
        UA_free(endpoints);  // the elements moved into the list
    }
    UA_Client_delete(client);
    return list;
}

void Clear(std::vector<UA_EndpointDescription>& endpoints) {
    for (UA_EndpointDescription& endpoint : endpoints) UA_EndpointDescription_clear(&endpoint);
    endpoints.clear();
}

std::string Text(const UA_String& text) { return std::string(reinterpret_cast<const char*>(text.data), text.length); }

std::string PolicyName(const UA_String& uri) {
    const std::string text = Text(uri);
    return text.substr(text.rfind('#') + 1);
}

// A UA client in one identity over one kind of channel. With `forced`, it
// asks for no endpoints but sends what that endpoint says, as a client that
// ignores what the server offers would.
class AccessClient {
public:
    AccessClient(unsigned port, Channel channel, const Login& login, const UA_EndpointDescription* forced = nullptr,
                 UA_UInt32 timeoutMs = 20000)
        : m_client(UA_Client_new()) {
        UA_ClientConfig* config = UA_Client_getConfig(m_client);
        config->logging = &QuietUaLogger();
        UA_StatusCode status = UA_STATUSCODE_GOOD;
        if (channel == Channel::None && login.anonymous && forced == nullptr) {
            status = UA_ClientConfig_setDefault(config);
        } else {
            // The None endpoint's password is encrypted as well.
            status = UA_ClientConfig_setDefaultEncryption(config, Keys().certificate, Keys().privateKey, nullptr, 0,
                                                          nullptr, 0);
            UA_CertificateVerification_AcceptAll(&config->certificateVerification);
            UA_String_clear(&config->clientDescription.applicationUri);
            config->clientDescription.applicationUri = UA_STRING_ALLOC("urn:ua-access-test");
        }
        config->logging = &QuietUaLogger();
        if (config->eventLoop != nullptr) config->eventLoop->logger = &QuietUaLogger();
        config->timeout = timeoutMs;
        config->securityMode = channel == Channel::None   ? UA_MESSAGESECURITYMODE_NONE
                               : channel == Channel::Sign ? UA_MESSAGESECURITYMODE_SIGN
                                                          : UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
        UA_String_clear(&config->securityPolicyUri);
        config->securityPolicyUri = UA_STRING_ALLOC(channel == Channel::None ? kNoneUri : kBasic256Sha256Uri);
        m_url = "opc.tcp://localhost:" + std::to_string(port) + "/";
        if (forced != nullptr) {
            UA_EndpointDescription_copy(forced, &config->endpoint);
            UA_String_clear(&config->endpoint.endpointUrl);
            config->endpoint.endpointUrl = UA_STRING_ALLOC(m_url.c_str());
        }
        m_status = status != UA_STATUSCODE_GOOD ? status : Connect(login);
        if (m_status != UA_STATUSCODE_GOOD) return;
        // A closed session stays closed (only now: a secure channel follows the discovery one).
        config->noReconnect = true;
        config->noNewSession = true;
        UA_Variant namespaces;
        UA_Variant_init(&namespaces);
        UA_Client_readValueAttribute(m_client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_NAMESPACEARRAY), &namespaces);
        for (size_t i = 0; i < namespaces.arrayLength; ++i) {
            if (Text(static_cast<const UA_String*>(namespaces.data)[i]) == kTagsUri)
                m_namespace = static_cast<UA_UInt16>(i);
        }
        UA_Variant_clear(&namespaces);
    }
    ~AccessClient() {
        UA_Client_disconnect(m_client);
        UA_Client_delete(m_client);
    }
    AccessClient(const AccessClient&) = delete;
    AccessClient& operator=(const AccessClient&) = delete;

    // Connects anew in another identity, the client set up as it was.
    UA_StatusCode Connect(const Login& login) {
        UA_Client_disconnect(m_client);
        UA_ClientConfig* config = UA_Client_getConfig(m_client);
        config->noReconnect = false;
        config->noNewSession = false;
        UA_ExtensionObject_clear(&config->userIdentityToken);
        if (!login.anonymous) {
            auto* token = UA_UserNameIdentityToken_new();
            UA_ByteString_allocBuffer(&token->userName, login.user.size());
            if (!login.user.empty()) std::memcpy(token->userName.data, login.user.data(), login.user.size());
            UA_ByteString_allocBuffer(&token->password, login.password.size());
            if (!login.password.empty())
                std::memcpy(token->password.data, login.password.data(), login.password.size());
            UA_ExtensionObject_setValue(&config->userIdentityToken, token, &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]);
        }
        return m_status = UA_Client_connect(m_client, m_url.c_str());
    }

    UA_StatusCode Status() const { return m_status; }
    UA_Client* Raw() const { return m_client; }
    const char* StatusName() const { return UA_StatusCode_name(m_status); }

    UA_NodeId Tag(const char* itemId) const { return UA_NODEID_STRING(m_namespace, const_cast<char*>(itemId)); }

    // The attribute's status, its value kept in `value` when given.
    UA_StatusCode Read(const UA_NodeId& node, UA_AttributeId attribute, UA_Variant* value = nullptr) {
        UA_ReadValueId what;
        UA_ReadValueId_init(&what);
        what.nodeId = node;
        what.attributeId = attribute;
        UA_ReadRequest request;
        UA_ReadRequest_init(&request);
        request.nodesToRead = &what;
        request.nodesToReadSize = 1;
        UA_ReadResponse response = UA_Client_Service_read(m_client, request);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize == 1) {
            status = response.results[0].status;
            if (value != nullptr) UA_Variant_copy(&response.results[0].value, value);
        }
        UA_ReadResponse_clear(&response);
        return status;
    }
    UA_StatusCode ReadValue(const char* itemId) { return Read(Tag(itemId), UA_ATTRIBUTEID_VALUE); }
    // The UserAccessLevel attribute, 0xFF when it cannot be read.
    int UserAccessLevel(const char* itemId) {
        UA_Variant value;
        UA_Variant_init(&value);
        int level = 0xFF;
        if (Read(Tag(itemId), UA_ATTRIBUTEID_USERACCESSLEVEL, &value) == UA_STATUSCODE_GOOD &&
            UA_Variant_hasScalarType(&value, &UA_TYPES[UA_TYPES_BYTE])) {
            level = *static_cast<UA_Byte*>(value.data);
        }
        UA_Variant_clear(&value);
        return level;
    }

    UA_StatusCode Write(const UA_NodeId& node, UA_AttributeId attribute, void* data, const UA_DataType* type) {
        UA_WriteValue what;
        UA_WriteValue_init(&what);
        what.nodeId = node;
        what.attributeId = attribute;
        what.value.hasValue = true;
        UA_Variant_setScalar(&what.value.value, data, type);
        UA_WriteRequest request;
        UA_WriteRequest_init(&request);
        request.nodesToWrite = &what;
        request.nodesToWriteSize = 1;
        UA_WriteResponse response = UA_Client_Service_write(m_client, request);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize == 1) status = response.results[0];
        UA_WriteResponse_clear(&response);
        return status;
    }
    UA_StatusCode WriteValue(const char* itemId, double number) {
        return Write(Tag(itemId), UA_ATTRIBUTEID_VALUE, &number, &UA_TYPES[UA_TYPES_DOUBLE]);
    }
    UA_StatusCode WriteBoolean(const char* itemId, bool on) {
        UA_Boolean value = on;
        return Write(Tag(itemId), UA_ATTRIBUTEID_VALUE, &value, &UA_TYPES[UA_TYPES_BOOLEAN]);
    }

    UA_StatusCode DeleteNode(const char* itemId) {
        UA_DeleteNodesItem item;
        UA_DeleteNodesItem_init(&item);
        item.nodeId = Tag(itemId);
        item.deleteTargetReferences = true;
        UA_DeleteNodesRequest request;
        UA_DeleteNodesRequest_init(&request);
        request.nodesToDelete = &item;
        request.nodesToDeleteSize = 1;
        UA_DeleteNodesResponse response = UA_Client_Service_deleteNodes(m_client, request);
        UA_StatusCode status = response.responseHeader.serviceResult;
        if (status == UA_STATUSCODE_GOOD && response.resultsSize == 1) status = response.results[0];
        UA_DeleteNodesResponse_clear(&response);
        return status;
    }

private:
    UA_Client* m_client;
    std::string m_url;
    UA_StatusCode m_status = UA_STATUSCODE_BAD;
    UA_UInt16 m_namespace = 0;
};

// One endpoint per test, on a port of its own, its users in a file of its own.
class UaAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto* device = new ToviDevice;
        device->Rename(L"Dev");
        ASSERT_TRUE(m_configuration.AddDevice(device));
        const struct {
            const wchar_t* name;
            DWORD access;
        } tags[] = {{L"A", 1}, {L"RO", 0}};  // Read/Write, Read Only
        for (const auto& made : tags) {
            auto* tag = new ToviTag;
            tag->Rename(made.name);
            tag->SetAccessMode(made.access);
            tag->SetDataType(VT_R8);
            tag->SetValueNow(Variant::FromDouble(1.5));
            ASSERT_TRUE(m_configuration.AddTagTo(device, tag));
        }
        m_configuration.EnableFaultControl(true);
        UaUserStore users(UsersFile());
        std::wstring error;
        ASSERT_TRUE(users.Set(L"reader", UaRole::Read, "reader-pw", error)) << ToUtf8(error);
        ASSERT_TRUE(users.Set(L"writer", UaRole::ReadWrite, "writer-pw", error)) << ToUtf8(error);
        ASSERT_TRUE(users.Save(error)) << ToUtf8(error);
        // With remote access the endpoint takes only client certificates it trusts.
        const std::wstring der = m_folder.File(L"client.der");
        DWORD written = 0;
        ASSERT_TRUE(WriteFileReplacing(
            der, std::vector<BYTE>(Keys().certificate.data, Keys().certificate.data + Keys().certificate.length),
            written));
        ASSERT_TRUE(UaPkiStore(m_folder.Path() + L"PKI").TrustFile(der, error)) << ToUtf8(error);
    }
    void TearDown() override { m_endpoint.Stop(L"", 0); }

    std::wstring UsersFile() const { return m_folder.File(L"users.txt"); }

    // Short delays unless the test says otherwise: most tests fail a login or two.
    UaEndpointOptions Options(unsigned port, const UaSecuritySettings& security = {}) const {
        UaEndpointOptions options;
        options.port = port;
        options.pkiFolder = m_folder.Path() + L"PKI";
        options.security = security;
        options.usersFile = UsersFile();
        options.loginDelayMs = 20;
        options.longestLoginDelayMs = 40;
        return options;
    }
    void Start(const UaEndpointOptions& options) {
        // The port may be taken a while: the system lends ports of this range to
        // clients' connections too, and keeps each for a minute after it closed.
        for (int attempt = 0; attempt < 140 && !m_endpoint.Start(options); ++attempt) Sleep(500);
        ASSERT_TRUE(m_endpoint.IsServing()) << ToUtf8(m_endpoint.StatusText());
    }
    double TagValue(const wchar_t* itemId) {
        OPCS_Tag* tag = m_configuration.FindTag(itemId);
        return tag != nullptr ? tag->GetValue().ConvertedTo(VT_R8).Ref().dblVal : -1;
    }

    TempFolder m_folder;
    ScratchLog m_log;
    Configuration m_configuration;
    UaEndpoint m_endpoint{m_configuration};
};

UaSecuritySettings Remote(bool allowUnsecured = false, bool allowAnonymous = false) {
    UaSecuritySettings settings;
    settings.remote = true;
    settings.allowUnsecured = allowUnsecured;
    settings.allowAnonymous = allowAnonymous;
    return settings;
}

// "Basic256Sha256/SignAndEncrypt: anonymous, username" for each endpoint.
std::vector<std::string> Offers(const std::vector<UA_EndpointDescription>& endpoints) {
    std::vector<std::string> offers;
    for (const UA_EndpointDescription& endpoint : endpoints) {
        static const char* const modes[] = {"Invalid", "None", "Sign", "SignAndEncrypt"};
        std::string line = PolicyName(endpoint.securityPolicyUri) + "/" + modes[endpoint.securityMode & 3] + ":";
        for (size_t i = 0; i < endpoint.userIdentityTokensSize; ++i) {
            const UA_UserTokenPolicy& token = endpoint.userIdentityTokens[i];
            line += token.tokenType == UA_USERTOKENTYPE_ANONYMOUS ? " anonymous" : " username";
            // Appended piece by piece: "(" + std::string makes gcc 12 at -O3 see an
            // overlapping copy that is not there (-Wrestrict).
            if (token.tokenType == UA_USERTOKENTYPE_USERNAME && token.securityPolicyUri.length > 0) {
                line += '(';
                line += PolicyName(token.securityPolicyUri);
                line += ')';
            }
        }
        offers.push_back(line);
    }
    return offers;
}

// The first endpoint of the policy and mode, with the tokens given in place of its own.
UA_EndpointDescription Forged(const std::vector<UA_EndpointDescription>& endpoints, const char* policy,
                              UA_MessageSecurityMode mode, std::vector<UA_UserTokenPolicy> tokens) {
    UA_EndpointDescription forged;
    UA_EndpointDescription_init(&forged);
    for (const UA_EndpointDescription& endpoint : endpoints) {
        if (endpoint.securityMode == UA_MESSAGESECURITYMODE_SIGNANDENCRYPT ||
            Text(endpoint.securityPolicyUri) == policy) {
            UA_EndpointDescription_copy(&endpoint, &forged);
            if (Text(endpoint.securityPolicyUri) == policy && endpoint.securityMode == mode) break;
        }
    }
    UA_String_clear(&forged.securityPolicyUri);
    forged.securityPolicyUri = UA_STRING_ALLOC(policy);
    forged.securityMode = mode;
    UA_Array_delete(forged.userIdentityTokens, forged.userIdentityTokensSize, &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
    forged.userIdentityTokensSize = tokens.size();
    forged.userIdentityTokens =
        static_cast<UA_UserTokenPolicy*>(UA_Array_new(tokens.size(), &UA_TYPES[UA_TYPES_USERTOKENPOLICY]));
    for (size_t i = 0; i < tokens.size(); ++i) forged.userIdentityTokens[i] = tokens[i];  // moved in
    return forged;
}

// A UserName token's secret as a client encrypts it for the server (RSA-OAEP,
// as Basic256Sha256 has it): its length, the password and the server's nonce.
UA_ByteString EncryptedSecret(const UA_ByteString& serverCertificate, const std::string& password,
                              const UA_ByteString& nonce) {
    std::string plain(4, '\0');
    const UA_UInt32 length = static_cast<UA_UInt32>(password.size() + nonce.length);
    for (int i = 0; i < 4; ++i) plain[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    plain += password;
    plain.append(reinterpret_cast<const char*>(nonce.data), nonce.length);
    mbedtls_x509_crt certificate;
    mbedtls_x509_crt_init(&certificate);
    UA_ByteString encrypted = UA_BYTESTRING_NULL;
    if (mbedtls_x509_crt_parse_der(&certificate, serverCertificate.data, serverCertificate.length) == 0 &&
        mbedtls_pk_get_type(&certificate.pk) == MBEDTLS_PK_RSA) {
        mbedtls_rsa_context* rsa = mbedtls_pk_rsa(certificate.pk);
        mbedtls_rsa_set_padding(rsa, MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA1);
        UA_ByteString_allocBuffer(&encrypted, mbedtls_rsa_get_len(rsa));
        auto random = [](void*, unsigned char* out, size_t size) {
            return BCRYPT_SUCCESS(
                       BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG))
                       ? 0
                       : -1;
        };
        if (mbedtls_rsa_pkcs1_encrypt(rsa, random, nullptr, plain.size(),
                                      reinterpret_cast<const unsigned char*>(plain.data()), encrypted.data) != 0) {
            UA_ByteString_clear(&encrypted);
        }
    }
    mbedtls_x509_crt_free(&certificate);
    return encrypted;
}

// Activates the client's own session again as `user`, by the bare service:
// whatever the answer, the client keeps its channel and its session, as the
// library's own activation does not after a refusal.
UA_StatusCode Reactivate(UA_Client* client, const UA_ByteString& serverCertificate, const char* policyId,
                         const std::string& user, const std::string& password) {
    UA_NodeId token = UA_NODEID_NULL;
    UA_ByteString nonce = UA_BYTESTRING_NULL;
    UA_Client_getSessionAuthenticationToken(client, &token, &nonce);
    UA_UserNameIdentityToken identity;
    UA_UserNameIdentityToken_init(&identity);
    identity.policyId = UA_STRING(const_cast<char*>(policyId));
    identity.userName = UA_STRING(const_cast<char*>(user.c_str()));
    identity.password = EncryptedSecret(serverCertificate, password, nonce);
    identity.encryptionAlgorithm = UA_STRING(const_cast<char*>("http://www.w3.org/2001/04/xmlenc#rsa-oaep"));
    UA_ActivateSessionRequest request;
    UA_ActivateSessionRequest_init(&request);
    UA_ExtensionObject_setValueNoDelete(&request.userIdentityToken, &identity,
                                        &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]);
    UA_ActivateSessionResponse response;
    __UA_Client_Service(client, &request, &UA_TYPES[UA_TYPES_ACTIVATESESSIONREQUEST], &response,
                        &UA_TYPES[UA_TYPES_ACTIVATESESSIONRESPONSE]);
    const UA_StatusCode status = response.responseHeader.serviceResult;
    UA_ActivateSessionResponse_clear(&response);
    UA_ByteString_clear(&identity.password);
    UA_NodeId_clear(&token);
    UA_ByteString_clear(&nonce);
    return status;
}

size_t Count(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}
}  // namespace

TEST(UaAccessText, UserNamesReachTheLogAsOneLineOfVisibleText) {
    const struct {
        std::string name;
        std::wstring shown;
    } rows[] = {
        {"operator", L"\"operator\""},
        {"Zo\xC3\xAB", L"\"Zo\u00EB\""},
        {"two\nlines\r\tand\x7F", L"\"two\\x0Alines\\x0D\\x09and\\x7F\""},
        {std::string("nul\0here", 8), L"\"nul\\x00here\""},
        {"say \"hi\" \\o/", L"\"say \\\"hi\\\" \\\\o/\""},
        {"evil\xE2\x80\xAEtxt.exe", L"\"evil\\u202Etxt.exe\""},  // a right-to-left override
        {"\xC2\x85next", L"\"\\x85next\""},                      // a C1 control
        {"bad\xFF\xC3(", L"\"bad\uFFFD\uFFFD(\""},               // not UTF-8
        {"\xF0\x9F\x94\x91key", L"\"\U0001F511key\""},
        {std::string(100, 'x'), L"\"" + std::wstring(64, L'x') + L"...\""},
        {"", L"\"\""},
    };
    for (const auto& row : rows) EXPECT_EQ(row.shown, AuditName(row.name)) << row.name;
}

TEST(UaAccessText, LocalAddressesAreOtherComputersWayIn) {
    for (const std::string& address : LocalAddresses()) {
        SCOPED_TRACE(address);
        in6_addr v6{};
        in_addr v4{};
        const bool isV4 = inet_pton(AF_INET, address.c_str(), &v4) == 1;
        ASSERT_TRUE(isV4 || inet_pton(AF_INET6, address.c_str(), &v6) == 1);
        if (isV4) {
            EXPECT_NE(127u, ntohl(v4.s_addr) >> 24);
        } else {
            EXPECT_FALSE(IN6_IS_ADDR_LOOPBACK(&v6));
            EXPECT_FALSE(IN6_IS_ADDR_LINKLOCAL(&v6));
        }
    }
    EXPECT_FALSE(FullyQualifiedHostName().empty());
}

TEST_F(UaAccessTest, EachRoleReadsAndOnlyReadWriteWrites) {
    UaSecuritySettings readOnlyAnonymous;
    readOnlyAnonymous.anonymousRole = UaRole::Read;
    const struct {
        const char* what;
        UaSecuritySettings security;
        Login login;
        Channel channel;
        bool writes;
    } rows[] = {
        {"anonymous on this computer", {}, Anonymous(), Channel::None, true},
        {"anonymous made Read", readOnlyAnonymous, Anonymous(), Channel::None, false},
        {"reader", {}, User("reader", "reader-pw"), Channel::Encrypt, false},
        {"writer", {}, User("writer", "writer-pw"), Channel::Encrypt, true},
        {"reader over None", {}, User("reader", "reader-pw"), Channel::None, false},
        {"writer signing only", {}, User("writer", "writer-pw"), Channel::Sign, true},
    };
    double written = 10;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Start(Options(48531, row.security));
        {
            AccessClient client(48531, row.channel, row.login);
            ASSERT_STREQ("Good", client.StatusName());
            EXPECT_STREQ("Good", UA_StatusCode_name(client.ReadValue("Dev.A")));
            EXPECT_STREQ("Good", UA_StatusCode_name(client.ReadValue("Dev.RO")));
            EXPECT_EQ(row.writes ? 3 : 1, client.UserAccessLevel("Dev.A"));
            EXPECT_EQ(1, client.UserAccessLevel("Dev.RO"));

            const double before = TagValue(L"Dev.A");
            written += 1;
            EXPECT_STREQ(row.writes ? "Good" : "BadUserAccessDenied",
                         UA_StatusCode_name(client.WriteValue("Dev.A", written)));
            EXPECT_EQ(row.writes ? written : before, TagValue(L"Dev.A"));
            // A read-only tag stays read-only whoever writes.
            EXPECT_STREQ("BadNotWritable", UA_StatusCode_name(client.WriteValue("Dev.RO", 2)));
            // The control items (fault control) too are written only by Read/Write.
            EXPECT_STREQ(row.writes ? "Good" : "BadUserAccessDenied",
                         UA_StatusCode_name(client.WriteBoolean("Dev._Control.InService", true)));
            // Attributes other than values, and the nodes themselves, nobody changes.
            UA_LocalizedText name = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("renamed"));
            EXPECT_STREQ("BadUserAccessDenied",
                         UA_StatusCode_name(client.Write(client.Tag("Dev.A"), UA_ATTRIBUTEID_DISPLAYNAME, &name,
                                                         &UA_TYPES[UA_TYPES_LOCALIZEDTEXT])));
            EXPECT_STREQ("BadUserAccessDenied", UA_StatusCode_name(client.DeleteNode("Dev.A")));
            EXPECT_STREQ("Good", UA_StatusCode_name(client.ReadValue("Dev.A")));
        }
        m_endpoint.Stop(L"", 0);
    }
    // Each session said who it was and from where; no password was ever written.
    const std::string log = m_log.Text();
    EXPECT_NE(std::string::npos, log.find("from 127.0.0.1 Basic256Sha256/SignAndEncrypt user reader (Read)")) << log;
    EXPECT_NE(std::string::npos, log.find("from 127.0.0.1 Basic256Sha256/Sign user writer (Read/Write)")) << log;
    EXPECT_NE(std::string::npos, log.find("from 127.0.0.1 None/None user Anonymous (Read/Write)")) << log;
    EXPECT_EQ(std::string::npos, log.find("-pw")) << log;
}

TEST_F(UaAccessTest, EndpointsOfferExactlyTheTokensTheyTake) {
    const struct {
        const char* what;
        UaSecuritySettings security;
        std::vector<std::string> offers;
    } rows[] = {
        {"this computer only",
         {},
         {"None/None: anonymous username(Basic256Sha256)", "Basic256Sha256/Sign: anonymous username",
          "Basic256Sha256/SignAndEncrypt: anonymous username", "Aes128_Sha256_RsaOaep/Sign: anonymous username",
          "Aes128_Sha256_RsaOaep/SignAndEncrypt: anonymous username", "Aes256_Sha256_RsaPss/Sign: anonymous username",
          "Aes256_Sha256_RsaPss/SignAndEncrypt: anonymous username"}},
        {"other computers",
         Remote(),
         {"Basic256Sha256/SignAndEncrypt: username", "Aes128_Sha256_RsaOaep/SignAndEncrypt: username",
          "Aes256_Sha256_RsaPss/SignAndEncrypt: username"}},
        // Over what is not encrypted only anonymous clients would come from other computers.
        {"other computers, unsecured allowed",
         Remote(true, false),
         {"Basic256Sha256/SignAndEncrypt: username", "Aes128_Sha256_RsaOaep/SignAndEncrypt: username",
          "Aes256_Sha256_RsaPss/SignAndEncrypt: username"}},
        {"other computers, anonymous allowed",
         Remote(false, true),
         {"Basic256Sha256/SignAndEncrypt: anonymous username",
          "Aes128_Sha256_RsaOaep/SignAndEncrypt: anonymous username",
          "Aes256_Sha256_RsaPss/SignAndEncrypt: anonymous username"}},
        {"other computers, unsecured and anonymous allowed",
         Remote(true, true),
         {"None/None: anonymous", "Basic256Sha256/Sign: anonymous", "Basic256Sha256/SignAndEncrypt: anonymous username",
          "Aes128_Sha256_RsaOaep/Sign: anonymous", "Aes128_Sha256_RsaOaep/SignAndEncrypt: anonymous username",
          "Aes256_Sha256_RsaPss/Sign: anonymous", "Aes256_Sha256_RsaPss/SignAndEncrypt: anonymous username"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Start(Options(48532, row.security));
        std::vector<UA_EndpointDescription> endpoints = Endpoints(48532);
        EXPECT_EQ(row.offers, Offers(endpoints));
        if (row.security.remote) {
            // Other computers are told every name and address this one has.
            ASSERT_FALSE(endpoints.empty());
            const UA_ApplicationDescription& server = endpoints[0].server;
            std::vector<std::string> urls;
            for (size_t i = 0; i < server.discoveryUrlsSize; ++i) urls.push_back(Text(server.discoveryUrls[i]));
            std::vector<std::string> hosts = {HostName(), FullyQualifiedHostName()};
            for (const std::string& address : LocalAddresses())
                hosts.push_back(address.find(':') != std::string::npos ? "[" + address + "]" : address);
            for (const std::string& host : hosts) {
                const std::string url = "opc.tcp://" + host + ":48532";
                EXPECT_NE(urls.end(), std::find(urls.begin(), urls.end(), url)) << url;
            }
            EXPECT_EQ(L"opc.tcp://" + FromUtf8(HostName()) + L":48532/", m_endpoint.Url());
            EXPECT_NE(std::wstring::npos, m_endpoint.PaneText().find(L"other computers")) << m_endpoint.PaneText();
        } else {
            EXPECT_EQ(L"opc.tcp://localhost:48532/", m_endpoint.Url());
            EXPECT_EQ(L"OPC UA: opc.tcp://localhost:48532/", m_endpoint.PaneText());
        }
        Clear(endpoints);
        m_endpoint.Stop(L"", 0);
    }
}

TEST_F(UaAccessTest, RemoteDefaultsRefuseUnsecuredAndAnonymousClientsAndSaySo) {
    Start(Options(48533, Remote()));
    std::vector<UA_EndpointDescription> endpoints = Endpoints(48533);
    ASSERT_FALSE(endpoints.empty());
    const UA_MessageSecurityMode none = UA_MESSAGESECURITYMODE_NONE;
    const UA_MessageSecurityMode encrypt = UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
    const struct {
        const char* what;
        const char* policy;
        UA_MessageSecurityMode mode;
        Channel channel;
        UA_UserTokenPolicy token;
        Login login;
        const char* expected;
    } rows[] = {
        // A client that ignores what it was offered.
        {"anonymous, secured", kBasic256Sha256Uri, encrypt, Channel::Encrypt,
         Policy(UA_USERTOKENTYPE_ANONYMOUS, "anonymous#Basic256Sha256"), Anonymous(), "BadIdentityTokenInvalid"},
        {"anonymous, unsecured", kNoneUri, none, Channel::None, Policy(UA_USERTOKENTYPE_ANONYMOUS, "anonymous#None"),
         Anonymous(), "BadSecurityPolicyRejected"},
        {"user, unsecured", kNoneUri, none, Channel::None,
         Policy(UA_USERTOKENTYPE_USERNAME, "username#Basic256Sha256", kBasic256Sha256Uri), User("writer", "writer-pw"),
         "BadSecurityPolicyRejected"},
        {"user, password in the clear", kNoneUri, none, Channel::None,
         Policy(UA_USERTOKENTYPE_USERNAME, "username#None"), User("writer", "writer-pw"), "BadSecurityPolicyRejected"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        UA_EndpointDescription forged = Forged(endpoints, row.policy, row.mode, {row.token});
        AccessClient client(48533, row.channel, row.login, &forged);
        EXPECT_STREQ(row.expected, client.StatusName());
        UA_EndpointDescription_clear(&forged);
    }
    // What it offers works.
    AccessClient writer(48533, Channel::Encrypt, User("writer", "writer-pw"));
    EXPECT_STREQ("Good", writer.StatusName());
    EXPECT_STREQ("Good", UA_StatusCode_name(writer.WriteValue("Dev.A", 4)));
    Clear(endpoints);

    const std::string log = m_log.Text();
    EXPECT_NE(std::string::npos, log.find("OPC UA session refused: 127.0.0.1 before its user was checked")) << log;
    EXPECT_NE(std::string::npos, log.find("OPC UA session refused: 127.0.0.1 security None")) << log;
    EXPECT_EQ(std::string::npos, log.find("-pw")) << log;
}

TEST_F(UaAccessTest, APasswordIsTakenOverSignAndEncryptOrFromThisComputerAndNeverInTheClear) {
    const UA_MessageSecurityMode none = UA_MESSAGESECURITYMODE_NONE;
    const UA_MessageSecurityMode sign = UA_MESSAGESECURITYMODE_SIGN;
    const struct {
        const char* what;
        UaSecuritySettings security;
        const char* policy;
        UA_MessageSecurityMode mode;
        Channel channel;
        const char* tokenPolicy;  // the token's own policy as the client makes it up; none: as offered
        const char* expected;
    } rows[] = {
        {"this computer, None, encrypted by Basic256Sha256", {}, kNoneUri, none, Channel::None, nullptr, "Good"},
        {"this computer, None, in the clear", {}, kNoneUri, none, Channel::None, kNoneUri, "BadIdentityTokenInvalid"},
        {"this computer, Sign", {}, kBasic256Sha256Uri, sign, Channel::Sign, nullptr, "Good"},
        {"other computers allowed unsecured, None", Remote(true, true), kNoneUri, none, Channel::None,
         kBasic256Sha256Uri, "BadIdentityTokenInvalid"},
        {"other computers allowed unsecured, Sign", Remote(true, true), kBasic256Sha256Uri, sign, Channel::Sign,
         kBasic256Sha256Uri, "BadIdentityTokenInvalid"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Start(Options(48534, row.security));
        std::vector<UA_EndpointDescription> endpoints = Endpoints(48534);
        const std::string id =
            std::string("username#") +
            PolicyName(UA_STRING(const_cast<char*>(row.tokenPolicy != nullptr ? row.tokenPolicy : "")));
        UA_EndpointDescription forged =
            Forged(endpoints, row.policy, row.mode,
                   {Policy(UA_USERTOKENTYPE_USERNAME, id.c_str(),
                           row.tokenPolicy != nullptr && std::string(row.tokenPolicy) != kNoneUri ? row.tokenPolicy
                                                                                                  : nullptr)});
        {
            AccessClient client(48534, row.channel, User("writer", "writer-pw"),
                                row.tokenPolicy != nullptr ? &forged : nullptr);
            EXPECT_STREQ(row.expected, client.StatusName());
        }
        UA_EndpointDescription_clear(&forged);
        Clear(endpoints);
        m_endpoint.Stop(L"", 0);
    }
}

TEST_F(UaAccessTest, BadCredentialsOfAnyShapeAreRefusedAndTheServerServesOn) {
    Start(Options(48535));
    AccessClient watcher(48535, Channel::None, Anonymous());
    ASSERT_STREQ("Good", watcher.StatusName());
    const std::string tenKilobytes(10 * 1024, 'k');
    const struct {
        const char* what;
        Login login;
        const char* expected;
    } rows[] = {
        // The first five failures from an address are logged each; later ones once a second.
        {"control characters", User("read\ner\t", "reader-pw"), "BadUserAccessDenied"},
        {"10 kB name", User(tenKilobytes, "reader-pw"), "BadUserAccessDenied"},
        {"wrong password", User("reader", "wrong-XYZ"), "BadUserAccessDenied"},
        {"unknown user", User("nobody", "reader-pw"), "BadUserAccessDenied"},
        {"name in other letter case", User("READER", "reader-pw"), "BadUserAccessDenied"},
        {"empty name", User("", "reader-pw"), "BadIdentityTokenInvalid"},
        {"empty password", User("reader", ""), "BadUserAccessDenied"},
        {"10 kB password", User("reader", tenKilobytes), "BadUserAccessDenied"},
        {"name not UTF-8", User("read\xFF\xC3(", "reader-pw"), "BadUserAccessDenied"},
        {"password not UTF-8", User("reader", "reader-pw\xFF"), "BadUserAccessDenied"},
        {"NUL inside the name", User(std::string("reader\0x", 8), "reader-pw"), "BadUserAccessDenied"},
        {"NUL after the name", User(std::string("reader\0", 7), "reader-pw"), "BadUserAccessDenied"},
        {"NUL after the password", User("reader", std::string("reader-pw\0", 10)), "BadUserAccessDenied"},
        {"NUL inside the password", User("reader", std::string("reader\0pw", 9)), "BadUserAccessDenied"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        AccessClient client(48535, Channel::Encrypt, row.login);
        EXPECT_STREQ(row.expected, client.StatusName());
        EXPECT_STREQ("Good", UA_StatusCode_name(watcher.ReadValue("Dev.A")));
    }
    // The sessions refused went with their connections: only the watcher's is left.
    auto sessions = [&] {
        UA_Variant list;
        UA_Variant_init(&list);
        watcher.Read(
            UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERDIAGNOSTICS_SESSIONSDIAGNOSTICSSUMMARY_SESSIONDIAGNOSTICSARRAY),
            UA_ATTRIBUTEID_VALUE, &list);
        const size_t count = list.arrayLength;
        UA_Variant_clear(&list);
        return count;
    };
    EXPECT_TRUE(WaitFor(5000, [&] { return sessions() == 1; })) << sessions() << " sessions";
    AccessClient reader(48535, Channel::Encrypt, User("reader", "reader-pw"));
    EXPECT_STREQ("Good", reader.StatusName());

    // Each refusal is a line, its name shown safely and cut short, never a password.
    const std::string log = m_log.Text();
    EXPECT_NE(std::string::npos, log.find("OPC UA login failed: 127.0.0.1 Basic256Sha256/SignAndEncrypt user "
                                          "\"reader\": wrong user name or password"))
        << log;
    EXPECT_NE(std::string::npos, log.find("user \"read\\x0Aer\\x09\":")) << log;
    EXPECT_NE(std::string::npos, log.find("user \"" + std::string(64, 'k') + "...\":")) << log;
    EXPECT_NE(std::string::npos, log.find("OPC UA login refused: 127.0.0.1 Basic256Sha256/SignAndEncrypt user \"\": "
                                          "no user name"))
        << log;
    EXPECT_EQ(std::string::npos, log.find("XYZ")) << log;
    EXPECT_EQ(std::string::npos, log.find("-pw")) << log;
    EXPECT_EQ(std::string::npos, log.find("read\ner")) << log;
}

TEST_F(UaAccessTest, FailedLoginsAreAnsweredLaterEachTimeWhileOtherClientsAreServed) {
    UaEndpointOptions options = Options(48536);
    options.loginDelayMs = 200;
    options.longestLoginDelayMs = 800;
    Start(options);

    // Another session reads all along; its longest wait is measured.
    std::atomic<bool> done{false};
    std::atomic<long long> longestRead{0};
    std::atomic<int> reads{0};
    std::thread watcher([&] {
        AccessClient client(48536, Channel::None, Anonymous());
        if (client.Status() != UA_STATUSCODE_GOOD) return;
        while (!done) {
            const Clock::time_point start = Clock::now();
            if (client.ReadValue("Dev.A") == UA_STATUSCODE_GOOD) ++reads;
            longestRead = std::max(longestRead.load(), MsSince(start));
            Sleep(20);
        }
    });
    ASSERT_TRUE(WaitFor(10000, [&] { return reads > 0; }));

    auto timed = [](const Login& login, UA_StatusCode& status) {
        const Clock::time_point start = Clock::now();
        AccessClient client(48536, Channel::Encrypt, login);
        status = client.Status();
        return MsSince(start);
    };
    UA_StatusCode status = UA_STATUSCODE_BAD;
    const long long good = timed(User("reader", "reader-pw"), status);
    EXPECT_STREQ("Good", UA_StatusCode_name(status));
    EXPECT_LT(good, 1000);
    for (const long long delay : {200, 400, 800, 800}) {
        SCOPED_TRACE(delay);
        const long long failed = timed(User("reader", "wrong"), status);
        EXPECT_STREQ("BadUserAccessDenied", UA_StatusCode_name(status));
        EXPECT_GE(failed, delay);
    }
    // While the answer to a failed login waits, no other password is tried
    // from there, a right one neither.
    std::thread wrong([&] {
        UA_StatusCode ignored;
        timed(User("reader", "wrong again"), ignored);
    });
    Sleep(150);
    const long long early = timed(User("reader", "reader-pw"), status);
    EXPECT_STREQ("BadIdentityTokenRejected", UA_StatusCode_name(status));
    EXPECT_GE(early, 600);
    wrong.join();
    // A good login after the wait is answered at once.
    Sleep(900);
    const long long after = timed(User("reader", "reader-pw"), status);
    EXPECT_STREQ("Good", UA_StatusCode_name(status));
    EXPECT_LT(after, 750);  // well below the 800 ms a still-counted failure would wait

    done = true;
    watcher.join();
    EXPECT_GT(reads, 30);
    // A password check (about 0.1 s, longer on a loaded machine) is the
    // longest any other client waits; a held server thread would be seconds.
    EXPECT_LT(longestRead, 1000);
}

TEST_F(UaAccessTest, AThousandFailedLoginsInARowCostALiveSessionNothing) {
    UaEndpointOptions options = Options(48537);
    options.loginDelayMs = 1;
    options.longestLoginDelayMs = 2;
    // A thousand password derivations would take minutes: the check is a cheap one here.
    m_endpoint.SetUserCheck([](std::string_view name, std::string_view password) -> std::optional<UaRole> {
        if (name == "reader" && password == "reader-pw") return UaRole::Read;
        return std::nullopt;
    });
    Start(options);
    std::atomic<bool> done{false};
    std::atomic<long long> longestRead{0};
    std::atomic<int> reads{0};
    std::thread watcher([&] {
        AccessClient client(48537, Channel::None, Anonymous());
        if (client.Status() != UA_STATUSCODE_GOOD) return;
        while (!done) {
            const Clock::time_point start = Clock::now();
            if (client.ReadValue("Dev.A") == UA_STATUSCODE_GOOD) ++reads;
            longestRead = std::max(longestRead.load(), MsSince(start));
            Sleep(5);
        }
    });
    ASSERT_TRUE(WaitFor(10000, [&] { return reads > 0; }));

    // One session tries a password after another on its own channel, each
    // answered before the next: no connection comes or goes meanwhile.
    std::vector<UA_EndpointDescription> endpoints = Endpoints(48537);
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    for (const UA_EndpointDescription& endpoint : endpoints) {
        if (endpoint.securityMode == UA_MESSAGESECURITYMODE_NONE)
            UA_ByteString_copy(&endpoint.serverCertificate, &certificate);
    }
    Clear(endpoints);
    AccessClient guesser(48537, Channel::None, Anonymous());
    ASSERT_STREQ("Good", guesser.StatusName());
    const Clock::time_point start = Clock::now();
    int denied = 0, rejected = 0;
    for (int i = 0; i < 1000; ++i) {
        const UA_StatusCode status =
            Reactivate(guesser.Raw(), certificate, "username#Basic256Sha256", "reader", "guess " + std::to_string(i));
        if (status == UA_STATUSCODE_BADUSERACCESSDENIED) ++denied;
        if (status == UA_STATUSCODE_BADIDENTITYTOKENREJECTED) ++rejected;
    }
    UA_ByteString_clear(&certificate);
    // The guesser's session is still the anonymous one it was.
    EXPECT_STREQ("Good", UA_StatusCode_name(guesser.ReadValue("Dev.A")));
    const long long seconds = MsSince(start) / 1000;
    Sleep(10);
    AccessClient reader(48537, Channel::None, User("reader", "reader-pw"));
    EXPECT_STREQ("Good", reader.StatusName());
    done = true;
    watcher.join();

    EXPECT_EQ(1000, denied + rejected);
    EXPECT_GE(denied, 990);  // each one tried after the answer before it came
    EXPECT_GT(reads, 100);
    EXPECT_LT(longestRead, 1000);
    // The log is not flooded: the first few, then one line a second, which counts them.
    const std::string log = m_log.Text();
    const size_t lines = Count(log, "OPC UA login failed:") + Count(log, "OPC UA login refused:");
    EXPECT_LE(lines, 5 + static_cast<size_t>(seconds) + 2) << seconds << " s";
    const size_t last = log.rfind("(failure ");
    ASSERT_NE(std::string::npos, last);
    EXPECT_GT(std::stoi(log.substr(last + 9)), 500) << log.substr(last, 40);
}

TEST_F(UaAccessTest, ChangedUsersAndRolesTakeEffectOnOpenSessions) {
    Start(Options(48538));
    AccessClient reader(48538, Channel::Encrypt, User("reader", "reader-pw"));
    AccessClient writer(48538, Channel::Encrypt, User("writer", "writer-pw"));
    AccessClient anonymous(48538, Channel::None, Anonymous());
    ASSERT_STREQ("Good", reader.StatusName());
    ASSERT_STREQ("Good", writer.StatusName());
    ASSERT_STREQ("Good", anonymous.StatusName());
    EXPECT_STREQ("Good", UA_StatusCode_name(writer.WriteValue("Dev.A", 5)));
    EXPECT_STREQ("Good", UA_StatusCode_name(anonymous.WriteValue("Dev.A", 6)));
    ASSERT_EQ(3u, m_endpoint.SessionCount());

    // The writer may only read now, the reader is gone, anonymous clients may only read.
    UaUserStore users(UsersFile());
    std::wstring error;
    ASSERT_TRUE(users.Load(error)) << ToUtf8(error);
    ASSERT_TRUE(users.SetRole(L"writer", UaRole::Read));
    ASSERT_TRUE(users.Remove(L"reader"));
    ASSERT_TRUE(users.Save(error)) << ToUtf8(error);
    UaSecuritySettings security;
    security.anonymousRole = UaRole::Read;
    ASSERT_TRUE(m_endpoint.ApplySecurity(security));

    EXPECT_STREQ("BadUserAccessDenied", UA_StatusCode_name(writer.WriteValue("Dev.A", 7)));
    EXPECT_EQ(1, writer.UserAccessLevel("Dev.A"));
    EXPECT_STREQ("BadUserAccessDenied", UA_StatusCode_name(anonymous.WriteValue("Dev.A", 8)));
    EXPECT_STREQ("Good", UA_StatusCode_name(anonymous.ReadValue("Dev.A")));
    EXPECT_NE(UA_STATUSCODE_GOOD, reader.ReadValue("Dev.A"));
    EXPECT_TRUE(WaitFor(5000, [&] { return m_endpoint.SessionCount() == 2; }));
    EXPECT_EQ(6, TagValue(L"Dev.A"));
    // The removed user's remembered login is forgotten with it.
    AccessClient again(48538, Channel::Encrypt, User("reader", "reader-pw"));
    EXPECT_STREQ("BadUserAccessDenied", again.StatusName());

    // What the endpoint listens with changes only by starting it anew.
    EXPECT_FALSE(m_endpoint.ApplySecurity(Remote()));
    UaSecuritySettings noAnonymous;
    noAnonymous.remote = true;
    noAnonymous.allowUnsecured = true;
    EXPECT_FALSE(m_endpoint.ApplySecurity(noAnonymous));
    EXPECT_STREQ("Good", UA_StatusCode_name(anonymous.ReadValue("Dev.A")));
}
