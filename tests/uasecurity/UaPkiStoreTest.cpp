// The certificate folders: what a file is refused for, what the listing says
// of a certificate (against the platform's reading of it), the moves between
// trusted and rejected, and the server's own certificate and its names.
#include "UaLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FileTime.h"
#include "TestCertificates.h"
#include "UaCertificate.h"
#include "UaCertificateFacts.h"
#include "UaPkiStore.h"

namespace {
TestCertificate Certificate(const std::string& subject, std::vector<std::string> names, int firstDay = -1,
                            int lastDay = 365) {
    UaCertificateRequest request;
    request.subject = subject;
    request.names = std::move(names);
    request.firstDay = firstDay;
    request.lastDay = lastDay;
    request.key = SharedTestKey();
    return MakeTestCertificate(request);
}

std::vector<std::wstring> Thumbprints(const std::vector<UaCertificateRow>& rows) {
    std::vector<std::wstring> list;
    for (const UaCertificateRow& row : rows) list.push_back(row.thumbprint);
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> list) {
    std::sort(list.begin(), list.end());
    return list;
}
}  // namespace

TEST(UaPkiStoreTest, FilesAreTrustedAsDerOrPemAndAnythingElseIsRefusedWithItsReason) {
    PkiFolder pki;
    TempFolder files;
    const UaPkiStore store(pki.Path());
    const TestCertificate a = Certificate("CN=Line A,O=Plant", {"URI:urn:plant:a", "DNS:a.plant", "IP:10.1.2.3"});
    const TestCertificate b = Certificate("CN=Line B", {"URI:urn:plant:b", "IP:fd00::7"});
    const std::string pemB = CertificatePem(b.der);
    const struct {
        const wchar_t* file;
        std::string bytes;
        const wchar_t* refusal;  // null: trusted
    } rows[] = {
        {L"a.der", a.der, nullptr},
        {L"b.pem", "Bag Attributes\r\n" + pemB, nullptr},  // text before the block, as some exporters write
        {L"empty.der", "", L"empty"},
        {L"garbage.bin", "this is no certificate at all", L"no certificate (DER or PEM)"},
        {L"truncated.der", a.der.substr(0, a.der.size() / 2), L"damaged or incomplete"},
        {L"truncated.pem", pemB.substr(0, pemB.size() / 2), L"PEM certificate is damaged"},
        {L"key.der", a.key, L"damaged or incomplete"},  // DER, but a key
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(ToUtf8(row.file));
        WriteTestFile(files.File(row.file), row.bytes);
        std::wstring error;
        EXPECT_EQ(row.refusal == nullptr, store.TrustFile(files.File(row.file), error)) << ToUtf8(error);
        if (row.refusal != nullptr) {
            EXPECT_NE(std::wstring::npos, error.find(row.refusal)) << ToUtf8(error);
        }
        DeleteFileW(files.File(row.file).c_str());
    }
    EXPECT_EQ(Sorted({ReadWithPlatform(a.der).thumbprint, ReadWithPlatform(b.der).thumbprint}),
              Thumbprints(store.Trusted()));
    // Kept as DER named after the thumbprint: the trust list and the dialog read them alike.
    const UaTrustMaterial material = store.LoadTrustMaterial();
    EXPECT_EQ(2u, material.trusted.size());
    EXPECT_NE(material.trusted.end(), std::find(material.trusted.begin(), material.trusted.end(), b.der));
    EXPECT_TRUE(material.unusable.empty());

    // Each listed fact as the platform reads it.
    for (const UaCertificateRow& row : store.Trusted()) {
        const std::string& der = row.applicationUri == L"urn:plant:a" ? a.der : b.der;
        const PlatformFacts platform = ReadWithPlatform(der);
        SCOPED_TRACE(ToUtf8(platform.subject));
        EXPECT_EQ(platform.thumbprint, row.thumbprint);
        EXPECT_EQ(store.TrustedFolder() + L"\\" + platform.thumbprint + L".der", row.file);
        EXPECT_EQ(platform.uri, row.applicationUri);
        EXPECT_TRUE(platform.validFrom == row.validFrom);
        EXPECT_TRUE(platform.validTo == row.validTo);
        std::vector<std::wstring> names = platform.dnsNames;
        names.insert(names.end(), platform.addresses.begin(), platform.addresses.end());
        EXPECT_EQ(Sorted(names), Sorted(row.names));
        EXPECT_EQ(2048u, row.keyBits);
        for (const wchar_t* part : {L"CN=Line ", L"O=Plant"}) {
            EXPECT_EQ(platform.subject.find(part) != std::wstring::npos, row.subject.find(part) != std::wstring::npos)
                << ToUtf8(row.subject);
        }
    }
    // A file put there by hand that is no certificate: listed with its problem, left out of the trust list.
    WriteTestFile(store.TrustedFolder() + L"\\note.txt", "not a certificate");
    const std::vector<UaCertificateRow> listed = store.Trusted();
    ASSERT_EQ(3u, listed.size());
    EXPECT_EQ(1, std::count_if(listed.begin(), listed.end(), [](const UaCertificateRow& row) {
                  return !row.problem.empty() && row.thumbprint.empty();
              }));
    EXPECT_EQ(1u, store.LoadTrustMaterial().unusable.size());
}

TEST(UaPkiStoreTest, ARefusedCertificateIsKeptOnceAndMovesBetweenRejectedAndTrusted) {
    PkiFolder pki;
    const UaPkiStore store(pki.Path());
    const TestCertificate client = Certificate("CN=Client", {"URI:urn:client"});
    const std::wstring thumbprint = ReadWithPlatform(client.der).thumbprint;
    const std::wstring kept = store.KeepRejected(client.der);
    EXPECT_EQ(store.RejectedFolder() + L"\\" + thumbprint + L".der", kept);
    EXPECT_EQ(kept, store.KeepRejected(client.der));
    EXPECT_EQ(std::vector<std::wstring>{thumbprint + L".der"}, FileNames(store.RejectedFolder()));
    EXPECT_EQ(client.der, ReadFileBytes(kept));
    EXPECT_EQ(L"", store.KeepRejected("garbage"));

    std::wstring error;
    const auto only = [](const std::vector<UaCertificateRow>& rows) {
        return rows.size() == 1 ? rows.front() : UaCertificateRow{};
    };
    // Each move from the folder it names, each refused from the other.
    const struct {
        const char* step;
        bool (UaPkiStore::*move)(const UaCertificateRow&, std::wstring&) const;
        bool fromRejected;
        bool done;
        size_t trusted, rejected;
    } steps[] = {
        {"trust a trusted one", &UaPkiStore::Trust, false, false, 0, 1},
        {"trust", &UaPkiStore::Trust, true, true, 1, 0},
        {"reject a rejected one", &UaPkiStore::Reject, true, false, 1, 0},
        {"reject", &UaPkiStore::Reject, false, true, 0, 1},
        {"trust again", &UaPkiStore::Trust, true, true, 1, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        UaCertificateRow row = only(step.fromRejected ? store.Rejected() : store.Trusted());
        if (row.file.empty()) row.file = (step.fromRejected ? store.RejectedFolder() : store.TrustedFolder()) + L"\\x";
        EXPECT_EQ(step.done, (store.*step.move)(row, error)) << ToUtf8(error);
        EXPECT_EQ(step.trusted, store.Trusted().size());
        EXPECT_EQ(step.rejected, store.Rejected().size());
    }
    // Trusted: refused again for another reason, it is not kept among the rejected too.
    EXPECT_EQ(L"", store.KeepRejected(client.der));
    EXPECT_TRUE(store.Rejected().empty());
    // Importing what waits among the rejected takes it out of there.
    ASSERT_TRUE(store.Reject(only(store.Trusted()), error)) << ToUtf8(error);
    WriteTestFile(pki.Path() + L"\\..\\client.pem", CertificatePem(client.der));
    ASSERT_TRUE(store.TrustFile(pki.Path() + L"\\..\\client.pem", error)) << ToUtf8(error);
    DeleteFileW((pki.Path() + L"\\..\\client.pem").c_str());
    EXPECT_TRUE(store.Rejected().empty());
    EXPECT_EQ(std::vector<std::wstring>{thumbprint}, Thumbprints(store.Trusted()));

    // Delete: a listed one goes; a file elsewhere (the server's own) is not the dialog's to delete.
    UaCertificateRow own;
    own.file = store.OwnCertificatePath();
    WriteTestFile(own.file, client.der);
    EXPECT_FALSE(store.Delete(own, error));
    EXPECT_TRUE(FileExists(own.file));
    EXPECT_TRUE(store.Delete(only(store.Trusted()), error)) << ToUtf8(error);
    EXPECT_TRUE(store.Trusted().empty());

    // rejected/ fills up no further than its limit.
    for (size_t i = 0; i < UaPkiStore::kMostRejected; ++i) {
        WriteTestFile(store.RejectedFolder() + L"\\" + std::to_wstring(i) + L".der", "x");
    }
    EXPECT_EQ(L"", store.KeepRejected(Certificate("CN=One too many", {"URI:urn:late"}).der));
    EXPECT_EQ(UaPkiStore::kMostRejected, FileNames(store.RejectedFolder()).size());
}

TEST(UaPkiStoreTest, TheServerCertificateNamesEachAddressAndAKeptOneLackingANameIsReported) {
    PkiFolder pki;
    const UaPkiStore store(pki.Path());
    const std::vector<std::string> addresses{"192.168.7.7", "fe80::1:2%3", "10.0.0.5"};
    UaCertificate made;
    ASSERT_TRUE(LoadOrMakeCertificate(pki.Path(), "urn:host:test", "host", addresses, made)) << ToUtf8(made.error);
    ASSERT_TRUE(made.made);
    const std::string der(reinterpret_cast<const char*>(made.certificate.data), made.certificate.length);
    const PlatformFacts platform = ReadWithPlatform(der);
    EXPECT_EQ(L"urn:host:test", platform.uri);
    EXPECT_EQ(Sorted({L"127.0.0.1", L"192.168.7.7", L"fe80::1:2", L"10.0.0.5"}), Sorted(platform.addresses));
    EXPECT_NE(platform.dnsNames.end(), std::find(platform.dnsNames.begin(), platform.dnsNames.end(), L"host"));
    EXPECT_NE(platform.dnsNames.end(), std::find(platform.dnsNames.begin(), platform.dnsNames.end(), L"localhost"));

    const struct {
        const char* start;
        std::vector<std::string> addresses;
        std::vector<std::wstring> missing;
    } starts[] = {
        {"the same addresses", addresses, {}},
        {"fewer addresses", {"10.0.0.5"}, {}},
        {"a new address", {"10.0.0.5", "10.9.9.9", "2001:db8::5"}, {L"10.9.9.9", L"2001:db8::5"}},
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.start);
        UaCertificate kept;
        ASSERT_TRUE(LoadOrMakeCertificate(pki.Path(), "urn:host:test", "host", start.addresses, kept));
        EXPECT_FALSE(kept.made);  // clients that trusted it go on trusting it
        EXPECT_TRUE(UA_ByteString_equal(&made.certificate, &kept.certificate));
        EXPECT_EQ(start.missing, kept.missingNames);
        for (const std::wstring& name : start.missing) {
            EXPECT_NE(std::wstring::npos, kept.notice.find(name)) << ToUtf8(kept.notice);
        }
        EXPECT_EQ(!start.missing.empty(), kept.notice.find(L"A new certificate is offered") != std::wstring::npos);
        UaCertificateRow own;
        ASSERT_TRUE(store.OwnCertificate(own));
        EXPECT_EQ(start.missing, MissingNames(own, ServerCertificateNames("urn:host:test", "host", start.addresses)));
    }

    // Exported as the file type asks, read back by the platform.
    TempFolder out;
    std::wstring error;
    ASSERT_TRUE(store.ExportOwn(out.File(L"own.der"), false, error)) << ToUtf8(error);
    EXPECT_EQ(der, ReadFileBytes(out.File(L"own.der")));
    ASSERT_TRUE(store.ExportOwn(out.File(L"own.pem"), true, error)) << ToUtf8(error);
    const std::string pem = ReadFileBytes(out.File(L"own.pem"));
    DWORD size = 0;
    ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                     &size, nullptr, nullptr));
    std::string decoded(size, '\0');
    ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                     reinterpret_cast<BYTE*>(decoded.data()), &size, nullptr, nullptr));
    EXPECT_EQ(der, decoded);
    DeleteFileW(out.File(L"own.der").c_str());
    DeleteFileW(out.File(L"own.pem").c_str());

    // Discarded: the certificate and its key go, the users' store beside the key stays; the next start makes anew.
    WriteTestFile(pki.Path() + L"\\own\\private\\users.txt", "users");
    ASSERT_TRUE(store.DiscardOwn(error)) << ToUtf8(error);
    EXPECT_FALSE(FileExists(store.OwnCertificatePath()));
    EXPECT_FALSE(FileExists(store.OwnKeyPath()));
    EXPECT_EQ("users", ReadFileBytes(pki.Path() + L"\\own\\private\\users.txt"));
    UaCertificate renewed;
    ASSERT_TRUE(LoadOrMakeCertificate(pki.Path(), "urn:host:test", "host", addresses, renewed));
    EXPECT_TRUE(renewed.made);
    EXPECT_FALSE(UA_ByteString_equal(&made.certificate, &renewed.certificate));
}
