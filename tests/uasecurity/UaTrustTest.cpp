// An endpoint that takes clients from other computers, facing the library's
// own client with good and bad certificates, and raw OpenSecureChannel
// messages carrying what no client library would send.
#include "UaLibrary.h"
// The library's client, after the same Winsock order.
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <gtest/gtest.h>

#include <mbedtls/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "Configuration.h"
#include "ScratchLog.h"
#include "TestCertificates.h"
#include "UaCertificateFacts.h"
#include "UaCommon.h"
#include "UaEndpoint.h"
#include "UaPkiStore.h"

namespace {
constexpr unsigned kRemotePort = 48541;
constexpr unsigned kLocalPort = 48542;
constexpr UA_StatusCode kGood = UA_STATUSCODE_GOOD;
constexpr char kPolicy[] = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";

TestCertificate ClientCertificate(const std::string& uri, int firstDay = -1, int lastDay = 365,
                                  const TestCertificate* issuer = nullptr) {
    UaCertificateRequest request;
    request.subject = "CN=" + uri.substr(uri.rfind(':') + 1) + ",O=Test";
    request.names = {"URI:" + uri, "DNS:localhost"};
    request.firstDay = firstDay;
    request.lastDay = lastDay;
    request.key = SharedTestKey();
    if (issuer != nullptr) {
        request.issuerCertificate = issuer->der;
        request.issuerKey = issuer->key;
    }
    return MakeTestCertificate(request);
}

UA_ByteString Borrow(const std::string& bytes) {
    return UA_ByteString{bytes.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(bytes.data()))};
}

// Connects with Basic256Sha256 SignAndEncrypt and this certificate, calling
// itself `applicationUri`, reads the server's state and disconnects: the
// connection's status, or the read's.
UA_StatusCode ConnectWith(unsigned port, const TestCertificate& certificate, const std::string& applicationUri) {
    UA_ClientConfig config;
    std::memset(&config, 0, sizeof config);
    config.logging = &QuietUaLogger();
    config.clientDescription.applicationUri = UA_STRING_ALLOC(applicationUri.c_str());
    UA_StatusCode status = UA_ClientConfig_setDefaultEncryption(&config, Borrow(certificate.der),
                                                                Borrow(certificate.key), nullptr, 0, nullptr, 0);
    if (status != UA_STATUSCODE_GOOD) {
        UA_ClientConfig_clear(&config);
        return status;
    }
    config.logging = &QuietUaLogger();
    if (config.eventLoop != nullptr) config.eventLoop->logger = &QuietUaLogger();
    UA_CertificateVerification_AcceptAll(&config.certificateVerification);
    config.securityMode = UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
    UA_String_clear(&config.securityPolicyUri);
    config.securityPolicyUri = UA_STRING_ALLOC(kPolicy);
    config.timeout = 5000;
    UA_Client* client = UA_Client_newWithConfig(&config);
    const std::string url = "opc.tcp://localhost:" + std::to_string(port) + "/";
    status = UA_Client_connect(client, url.c_str());
    if (status == UA_STATUSCODE_GOOD) {
        UA_Variant state;
        UA_Variant_init(&state);
        status = UA_Client_readValueAttribute(client, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERSTATUS_STATE), &state);
        UA_Variant_clear(&state);
    }
    UA_Client_disconnect(client);
    UA_Client_delete(client);
    return status;
}

void PutUInt32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutBytes(std::string& out, const std::string& bytes) {
    PutUInt32(out, static_cast<std::uint32_t>(bytes.size()));
    out += bytes;
}

std::string Message(const char* type, const std::string& body) {
    std::string message(type);
    message.push_back('F');
    PutUInt32(message, static_cast<std::uint32_t>(8 + body.size()));
    return message + body;
}

bool ReceiveMessage(SOCKET socket, std::string& message) {
    message.clear();
    char chunk[4096];
    while (message.size() < 8 || message.size() < *reinterpret_cast<const std::uint32_t*>(message.data() + 4)) {
        const int got = recv(socket, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        message.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

// Says hello and opens a secure channel whose sender certificate is
// `certificate`, whatever its bytes; the status of the server's error
// message, or Good when it answered otherwise.
UA_StatusCode OpenChannelWith(unsigned port, const std::string& certificate) {
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    DWORD timeoutMs = 5000;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    UA_StatusCode status = UA_STATUSCODE_BADCONNECTIONCLOSED;
    std::string hello, open, answer;
    for (std::uint32_t value : {0u, 65536u, 65536u, 0u, 0u}) PutUInt32(hello, value);
    PutBytes(hello, "opc.tcp://localhost:" + std::to_string(port) + "/");
    PutUInt32(open, 0);  // a new channel
    PutBytes(open, kPolicy);
    PutBytes(open, certificate);
    PutBytes(open, std::string(20, '\0'));  // the server's thumbprint: the certificate is checked first
    open += std::string(64, '\x5A');        // what would be the encrypted rest
    if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string helloMessage = Message("HEL", hello), openMessage = Message("OPN", open);
        if (send(socket, helloMessage.data(), static_cast<int>(helloMessage.size()), 0) > 0 &&
            ReceiveMessage(socket, answer) && answer.compare(0, 3, "ACK") == 0 &&
            send(socket, openMessage.data(), static_cast<int>(openMessage.size()), 0) > 0 &&
            ReceiveMessage(socket, answer)) {
            status = answer.compare(0, 3, "ERR") == 0 && answer.size() >= 12
                         ? *reinterpret_cast<const std::uint32_t*>(answer.data() + 8)
                         : UA_STATUSCODE_GOOD;
        }
    }
    closesocket(socket);
    return status;
}

class UaTrustTest : public ::testing::Test {
protected:
    void Start(UaEndpoint& endpoint, unsigned port, bool remote) {
        UaEndpointOptions options;
        options.port = port;
        options.pkiFolder = m_pki.Path();
        options.security.remote = remote;
        // Certificates are the question here: the client's session is anonymous.
        options.security.allowAnonymous = true;
        ASSERT_TRUE(endpoint.Start(options)) << ToUtf8(endpoint.StatusText());
    }
    void Reload() {
        std::wstring error;
        EXPECT_TRUE(m_endpoint.ReloadTrust(error)) << ToUtf8(error);
    }
    void TrustFile(const std::string& der) {
        TempFolder folder;
        WriteTestFile(folder.File(L"c.der"), der);
        std::wstring error;
        ASSERT_TRUE(m_store.TrustFile(folder.File(L"c.der"), error)) << ToUtf8(error);
        DeleteFileW(folder.File(L"c.der").c_str());
    }

    ScratchLog m_log;
    PkiFolder m_pki;
    UaPkiStore m_store{m_pki.Path()};
    Configuration m_configuration;
    UaEndpoint m_endpoint{m_configuration};
};
}  // namespace

TEST_F(UaTrustTest, AnUnknownClientIsRefusedAndKeptThenTrustedThroughTheFoldersAndTakenAfterAReload) {
    Start(m_endpoint, kRemotePort, true);
    const TestCertificate client = ClientCertificate("urn:test:newcomer");
    const std::wstring thumbprint = ReadWithPlatform(client.der).thumbprint;

    EXPECT_EQ(UA_STATUSCODE_BADSECURITYCHECKSFAILED, ConnectWith(kRemotePort, client, "urn:test:newcomer"));
    EXPECT_EQ(std::vector<std::wstring>{thumbprint + L".der"}, FileNames(m_store.RejectedFolder()));
    EXPECT_TRUE(m_log.Contains("OPC UA client certificate refused: CN=newcomer, O=Test " + ToUtf8(thumbprint) +
                               " - it is not trusted - kept in " + ToUtf8(m_store.RejectedFolder())))
        << m_log.Text();

    // What the dialog's Trust does; the endpoint takes it once it reads the folders again.
    const std::vector<UaCertificateRow> rejected = m_store.Rejected();
    ASSERT_EQ(1u, rejected.size());
    std::wstring error;
    ASSERT_TRUE(m_store.Trust(rejected.front(), error)) << ToUtf8(error);
    EXPECT_EQ(UA_STATUSCODE_BADSECURITYCHECKSFAILED, ConnectWith(kRemotePort, client, "urn:test:newcomer"));
    Reload();
    EXPECT_EQ(kGood, ConnectWith(kRemotePort, client, "urn:test:newcomer"));
    EXPECT_TRUE(m_store.Rejected().empty());

    // Rejected again through the dialog: refused again after the next reload.
    ASSERT_TRUE(m_store.Reject(m_store.Trusted().front(), error)) << ToUtf8(error);
    Reload();
    EXPECT_EQ(UA_STATUSCODE_BADSECURITYCHECKSFAILED, ConnectWith(kRemotePort, client, "urn:test:newcomer"));

    // Trusting the issuer trusts what it issues; the URI the client gives must be the certificate's own.
    UaCertificateRequest authority;
    authority.subject = "CN=Plant CA,O=Test";
    authority.authority = true;
    authority.key = SharedTestKey();
    const TestCertificate issuer = MakeTestCertificate(authority);
    const TestCertificate issued = ClientCertificate("urn:test:issued", -1, 365, &issuer);
    TrustFile(issuer.der);
    Reload();
    EXPECT_EQ(kGood, ConnectWith(kRemotePort, issued, "urn:test:issued"));
    EXPECT_EQ(UA_STATUSCODE_BADCERTIFICATEURIINVALID, ConnectWith(kRemotePort, issued, "urn:test:issued:other"));
    EXPECT_EQ(UA_STATUSCODE_BADCERTIFICATEURIINVALID, ConnectWith(kRemotePort, issued, "urn:test:issue"));
    EXPECT_TRUE(
        m_log.Contains("it names the application URI \"urn:test:issued\", the client calls itself "
                       "\"urn:test:issue\" - not kept"))
        << m_log.Text();
    EXPECT_TRUE(m_endpoint.IsServing());
}

TEST_F(UaTrustTest, BadCertificatesAreRefusedWithoutAReasonToTheClientAndTheEndpointServesOn) {
    Start(m_endpoint, kRemotePort, true);
    UaCertificateRequest small;
    small.subject = "CN=small,O=Test";
    small.names = {"URI:urn:test:small"};
    small.firstDay = -1;
    small.keyBits = 1024;
    UaCertificateRequest signOnly = small;
    signOnly.subject = "CN=signonly,O=Test";
    signOnly.keyBits = 2048;
    signOnly.key = SharedTestKey();
    signOnly.keyUsage = MBEDTLS_X509_KU_DIGITAL_SIGNATURE;
    UaCertificateRequest authority;
    authority.subject = "CN=Unknown CA,O=Test";
    authority.authority = true;
    authority.key = SharedTestKey();
    const TestCertificate unknownIssuer = MakeTestCertificate(authority);
    authority.subject = "CN=Trusted CA,O=Test";
    const TestCertificate trustedAuthority = MakeTestCertificate(authority);
    const TestCertificate good = ClientCertificate("urn:test:good");

    const struct {
        const char* name;
        std::string certificate;
        bool trusted;        // put into trusted/ first, so that only its own fault refuses it
        const char* reason;  // in the event log
        bool kept;           // in rejected/ afterwards
    } rows[] = {
        {"expired", ClientCertificate("urn:test:expired", -30, -1).der, true, "it expired on", false},
        {"not yet valid", ClientCertificate("urn:test:early", 2, 30).der, true, "it is not valid before", false},
        {"1024-bit key", MakeTestCertificate(small).der, true, "its RSA key has 1024 bits", false},
        {"no key encipherment", MakeTestCertificate(signOnly).der, true, "its key usage allows", false},
        {"a certificate authority's", trustedAuthority.der, true, "it is a certificate authority's", false},
        {"unknown issuer", ClientCertificate("urn:test:orphan", -1, 365, &unknownIssuer).der, false,
         "its issuer is not known", true},
        {"self-signed, unknown", ClientCertificate("urn:test:stranger").der, false, "it is not trusted", true},
        {"truncated", good.der.substr(0, good.der.size() - 40), false, "(unreadable)", false},
        {"garbage", std::string(900, '\x30'), false, "(unreadable)", false},
        {"empty", std::string(), false, "", false},
    };
    for (const auto& row : rows) {
        if (row.trusted) TrustFile(row.certificate);
    }
    Reload();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string before = m_log.Text();
        const UA_StatusCode status = OpenChannelWith(kRemotePort, row.certificate);
        const std::string added = m_log.Text().substr(before.size());
        if (row.certificate.empty()) {
            // No certificate, nothing to refuse: the channel fails later, on its made-up rest.
            EXPECT_EQ(std::string::npos, added.find("certificate refused")) << added;
            continue;
        }
        EXPECT_EQ(UA_STATUSCODE_BADSECURITYCHECKSFAILED, status) << UA_StatusCode_name(status);
        EXPECT_NE(std::string::npos, added.find("OPC UA client certificate refused:")) << added;
        EXPECT_NE(std::string::npos, added.find(row.reason)) << added;
        const std::wstring thumbprint = Sha1Thumbprint(row.certificate);
        EXPECT_EQ(row.kept, FileExists(m_store.RejectedFolder() + L"\\" + thumbprint + L".der"));
    }
    // Still serving, and a trusted client is taken.
    TrustFile(good.der);
    Reload();
    EXPECT_EQ(kGood, ConnectWith(kRemotePort, good, "urn:test:good"));
}

TEST_F(UaTrustTest, OnThisComputerOnlyAnyClientCertificateIsTakenAsEver) {
    Start(m_endpoint, kLocalPort, false);
    EXPECT_EQ(kGood, ConnectWith(kLocalPort, ClientCertificate("urn:test:local"), "urn:test:local"));
    // Its URI is not checked either, as before.
    EXPECT_EQ(kGood, ConnectWith(kLocalPort, ClientCertificate("urn:test:local"), "urn:test:else"));
    EXPECT_TRUE(FileNames(m_store.RejectedFolder()).empty());
    EXPECT_FALSE(m_log.Contains("refused"));
}

TEST_F(UaTrustTest, ACertificateItsIssuerRevokedIsRefusedAndItsSiblingTaken) {
    Start(m_endpoint, kRemotePort, true);
    UaCertificateRequest authority;
    authority.subject = "CN=Revoking CA,O=Test";
    authority.authority = true;
    authority.key = SharedTestKey();
    const TestCertificate issuer = MakeTestCertificate(authority);
    authority.subject = "CN=Listless CA,O=Test";
    const TestCertificate listless = MakeTestCertificate(authority);
    const TestCertificate revoked = ClientCertificate("urn:test:revoked", -1, 365, &issuer);
    const TestCertificate sibling = ClientCertificate("urn:test:sibling", -1, 365, &issuer);
    const TestCertificate orphan = ClientCertificate("urn:test:listless", -1, 365, &listless);
    TrustFile(issuer.der);
    TrustFile(listless.der);
    const std::string crl = MakeRevocationList(issuer, {revoked.der});
    PCCRL_CONTEXT platform = CertCreateCRLContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(crl.data()),
                                                  static_cast<DWORD>(crl.size()));
    ASSERT_NE(nullptr, platform) << "the platform reads no revocation list in it";
    CertFreeCRLContext(platform);
    WriteTestFile(m_pki.Path() + L"\\trusted\\crl\\revoking.crl", crl);
    Reload();

    EXPECT_EQ(UA_STATUSCODE_BADSECURITYCHECKSFAILED, OpenChannelWith(kRemotePort, revoked.der));
    EXPECT_TRUE(m_log.Contains(ToUtf8(Sha1Thumbprint(revoked.der)) + " - it is revoked")) << m_log.Text();
    EXPECT_EQ(kGood, ConnectWith(kRemotePort, sibling, "urn:test:sibling"));
    // Once lists are kept, an issuer without one is doubted.
    EXPECT_EQ(UA_STATUSCODE_BADSECURITYCHECKSFAILED, OpenChannelWith(kRemotePort, orphan.der));
    EXPECT_TRUE(m_log.Contains("no revocation list of its issuer")) << m_log.Text();
}
