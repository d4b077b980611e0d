// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaTrust.h"

#include <mbedtls/oid.h>
#include <mbedtls/x509_crt.h>

#include <cstring>
#include <utility>

#include "EventLog.h"
#include "FileTime.h"
#include "Text.h"
#include "UaCommon.h"

// The stack's trust list check, at an address of its own: the check keeps a
// pointer to it.
struct UaTrust::TrustList {
    UA_CertificateVerification check;
    TrustList() {
        std::memset(&check, 0, sizeof check);
        check.logging = &QuietUaLogger();
    }
    ~TrustList() {
        if (check.clear != nullptr) check.clear(&check);
    }
    TrustList(const TrustList&) = delete;
    TrustList& operator=(const TrustList&) = delete;
};

// The stack calls these with the configuration's verification, whose context is the UaTrust.
struct UaTrustHooks {
    static UaTrust& Of(const UA_CertificateVerification* verification) {
        return *static_cast<UaTrust*>(verification->context);
    }
    static std::string Bytes(const UA_ByteString* bytes) {
        return bytes != nullptr && bytes->length > 0
                   ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->length)
                   : std::string();
    }
    static UA_StatusCode Verify(const UA_CertificateVerification* verification, const UA_ByteString* certificate) {
        return static_cast<UA_StatusCode>(Of(verification).Verify(Bytes(certificate)));
    }
    static UA_StatusCode VerifyUri(const UA_CertificateVerification* verification, const UA_ByteString* certificate,
                                   const UA_String* applicationUri) {
        return static_cast<UA_StatusCode>(Of(verification).VerifyUri(Bytes(certificate), Bytes(applicationUri)));
    }
    // The object belongs to the endpoint, not to the configuration.
    static void Clear(UA_CertificateVerification*) {}
};

namespace {
constexpr unsigned kLeastKeyBits = 2048;

std::wstring Day(const FILETIME& time) {
    SYSTEMTIME day{};
    FileTimeToSystemTime(&time, &day);
    return FormatText(L"%04u-%02u-%02u", day.wYear, day.wMonth, day.wDay);
}

// What an application's certificate must be beyond trusted: checked before
// trust, since trusting it would not help.
std::wstring ProblemOf(const std::string& der) {
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    if (mbedtls_x509_crt_parse_der(&crt, reinterpret_cast<const unsigned char*>(der.data()), der.size()) != 0) {
        mbedtls_x509_crt_free(&crt);
        return L"it is damaged or no certificate";
    }
    std::wstring problem;
    const mbedtls_pk_type_t type = mbedtls_pk_get_type(&crt.pk);
    const size_t bits = mbedtls_pk_get_bitlen(&crt.pk);
    if (type != MBEDTLS_PK_RSA && type != MBEDTLS_PK_RSASSA_PSS) {
        problem = L"its key is no RSA key";
    } else if (bits < kLeastKeyBits) {
        problem = FormatText(L"its RSA key has %u bits, fewer than %u", static_cast<unsigned>(bits), kLeastKeyBits);
    } else if (mbedtls_x509_crt_check_key_usage(&crt, MBEDTLS_X509_KU_DIGITAL_SIGNATURE) != 0 ||
               mbedtls_x509_crt_check_key_usage(&crt, MBEDTLS_X509_KU_KEY_ENCIPHERMENT) != 0) {
        problem = L"its key usage allows no signatures or no key encipherment";
    } else if (mbedtls_x509_crt_check_extended_key_usage(&crt, MBEDTLS_OID_CLIENT_AUTH,
                                                         MBEDTLS_OID_SIZE(MBEDTLS_OID_CLIENT_AUTH)) != 0) {
        problem = L"its extended key usage does not allow client authentication";
    }
    mbedtls_x509_crt_free(&crt);
    return problem;
}

std::wstring ReasonOf(UA_StatusCode status, const UaCertificateRow& row) {
    switch (status) {
    case UA_STATUSCODE_BADCERTIFICATEUNTRUSTED: return L"it is not trusted";
    case UA_STATUSCODE_BADCERTIFICATECHAININCOMPLETE: return L"its issuer is not known";
    case UA_STATUSCODE_BADCERTIFICATETIMEINVALID:
        return FileTimeToU64(FileTimeNow()) < FileTimeToU64(row.validFrom)
                   ? L"it is not valid before " + Day(row.validFrom)
                   : L"it expired on " + Day(row.validTo);
    case UA_STATUSCODE_BADCERTIFICATEISSUERTIMEINVALID: return L"its issuer's certificate is not valid now";
    case UA_STATUSCODE_BADCERTIFICATEREVOKED: return L"it is revoked";
    case UA_STATUSCODE_BADCERTIFICATEISSUERREVOKED: return L"its issuer's certificate is revoked";
    case UA_STATUSCODE_BADCERTIFICATEREVOCATIONUNKNOWN:
    case UA_STATUSCODE_BADCERTIFICATEISSUERREVOCATIONUNKNOWN:
        return L"no revocation list of its issuer is in the folders";
    case UA_STATUSCODE_BADCERTIFICATEUSENOTALLOWED: return L"it is a certificate authority's, not an application's";
    case UA_STATUSCODE_BADCERTIFICATEISSUERUSENOTALLOWED: return L"its issuer may not issue certificates";
    case UA_STATUSCODE_BADCERTIFICATEINVALID: return L"its signature does not match its issuer";
    default: return FromUtf8(UA_StatusCode_name(status));
    }
}

// The borrowed DER of each entry, as the stack takes a list.
std::vector<UA_ByteString> Borrowed(const std::vector<std::string>& entries) {
    std::vector<UA_ByteString> list;
    for (const std::string& entry : entries) {
        list.push_back(UA_ByteString{entry.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(entry.data()))});
    }
    return list;
}
}  // namespace

UaTrust::UaTrust(std::wstring pkiFolder, bool remote) : m_store(std::move(pkiFolder)), m_remote(remote) {}

UaTrust::~UaTrust() = default;

std::unique_ptr<UaTrust::TrustList> UaTrust::Load(std::wstring& error) const {
    if (!m_store.Prepare(error)) return nullptr;
    const UaTrustMaterial material = m_store.LoadTrustMaterial();
    std::vector<std::string> crls = material.trustedCrls;
    crls.insert(crls.end(), material.issuerCrls.begin(), material.issuerCrls.end());
    const std::vector<UA_ByteString> trusted = Borrowed(material.trusted), issuers = Borrowed(material.issuers),
                                     revoked = Borrowed(crls);
    auto list = std::make_unique<TrustList>();
    const UA_StatusCode status = UA_CertificateVerification_Trustlist(
        &list->check, trusted.data(), trusted.size(), issuers.data(), issuers.size(), revoked.data(), revoked.size());
    if (status != UA_STATUSCODE_GOOD) {
        error = L"The trusted certificates in " + m_store.Folder() + L" cannot be used: " +
                FromUtf8(UA_StatusCode_name(status)) + L".";
        return nullptr;
    }
    error.clear();
    for (const std::wstring& file : material.unusable) error += (error.empty() ? L"Left out: " : L"; ") + file;
    return list;
}

bool UaTrust::Install(UA_ServerConfig& config, std::wstring& error) {
    error.clear();
    // On this computer only, as ever: the stack's "accept all" of the basics stays.
    if (!m_remote) return true;
    std::unique_ptr<TrustList> list = Load(error);
    if (list == nullptr) return false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_list = std::move(list);
    }
    for (UA_CertificateVerification* verification : {&config.secureChannelPKI, &config.sessionPKI}) {
        if (verification->clear != nullptr) verification->clear(verification);
        verification->context = this;
        verification->verifyCertificate = &UaTrustHooks::Verify;
        verification->verifyApplicationURI = &UaTrustHooks::VerifyUri;
        verification->getExpirationDate = m_list->check.getExpirationDate;
        verification->getSubjectName = m_list->check.getSubjectName;
        verification->clear = &UaTrustHooks::Clear;
        verification->logging = &QuietUaLogger();
    }
    return true;
}

bool UaTrust::Reload(std::wstring& error) {
    error.clear();
    if (!m_remote) return true;
    std::unique_ptr<TrustList> list = Load(error);
    if (list == nullptr) return false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::swap(m_list, list);
    }
    return true;  // the old list goes here, outside the lock
}

int UaTrust::Verify(const std::string& certificate) {
    std::string der;
    std::wstring reason;
    if (!CertificateDer(certificate, der, reason)) {
        Refuse(certificate, L"it is damaged or no certificate", false);
        return static_cast<int>(UA_STATUSCODE_BADSECURITYCHECKSFAILED);
    }
    reason = ProblemOf(der);
    if (reason.empty()) {
        UA_StatusCode status = UA_STATUSCODE_BADINTERNALERROR;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_list != nullptr) {
                const UA_ByteString bytes{der.size(), reinterpret_cast<UA_Byte*>(der.data())};
                status = m_list->check.verifyCertificate(&m_list->check, &bytes);
            }
        }
        if (status == UA_STATUSCODE_GOOD) return static_cast<int>(UA_STATUSCODE_GOOD);
        UaCertificateRow row;
        ReadCertificate(der, row);
        reason = ReasonOf(status, row);
    }
    Refuse(der, reason, true);
    return static_cast<int>(UA_STATUSCODE_BADSECURITYCHECKSFAILED);
}

int UaTrust::VerifyUri(const std::string& certificate, const std::string& applicationUri) {
    std::string der;
    std::wstring reason;
    UaCertificateRow row;
    if (!CertificateDer(certificate, der, reason) || !ReadCertificate(der, row)) {
        Refuse(certificate, L"it is damaged or no certificate", false);
        return static_cast<int>(UA_STATUSCODE_BADSECURITYCHECKSFAILED);
    }
    // The whole URI: one that only begins or ends like the client's is another application's.
    if (row.applicationUri == FromUtf8(applicationUri)) return static_cast<int>(UA_STATUSCODE_GOOD);
    Refuse(der,
           L"it names the application URI \"" + row.applicationUri + L"\", the client calls itself \"" +
               FromUtf8(applicationUri) + L"\"",
           false);
    return static_cast<int>(UA_STATUSCODE_BADCERTIFICATEURIINVALID);
}

void UaTrust::Refuse(const std::string& certificate, const std::wstring& reason, bool keep) const {
    UaCertificateRow row;
    const bool readable = ReadCertificate(certificate, row);
    const std::wstring kept = keep && readable ? m_store.KeepRejected(certificate) : std::wstring();
    theEventLog << L"OPC UA client certificate refused:" << (readable ? row.subject : L"(unreadable)")
                << (readable ? row.thumbprint : Sha1Thumbprint(certificate)) << L"-" << reason << L"-"
                << (kept.empty() ? std::wstring(L"not kept") : L"kept in " + kept) << EventLog::EndEntry;
}
