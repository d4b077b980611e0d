#pragma once
// X.509 certificates made with mbedTLS: the server's own, self-signed, and
// any other a caller needs (an issuer and the certificates it signs). The
// stack's own maker keeps one IP address at the most; a server that listens
// on several names each.
#include <string>
#include <vector>

struct UaCertificateRequest {
    std::string subject;             // "CN=name,O=maker"
    std::vector<std::string> names;  // "URI:...", "DNS:...", "IP:..." (v4 or v6)
    int firstDay = 0;                // valid from this many days from now (negative: past)
    int lastDay = 365;               // until this many days from now
    unsigned keyBits = 2048;
    std::string key;         // the DER of an RSA key to certify; empty: a new one of keyBits
    bool authority = false;  // may issue certificates
    unsigned keyUsage = 0;   // MBEDTLS_X509_KU_* bits; 0: what an application's certificate needs
    // Signed by this certificate's key (both DER); self-signed when empty.
    std::string issuerCertificate;
    std::string issuerKey;
};

// The certificate and its private key, both DER. False with the reason in words.
bool MakeCertificate(const UaCertificateRequest& request, std::string& certificate, std::string& key,
                     std::wstring& error);
