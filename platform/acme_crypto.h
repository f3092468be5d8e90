#pragma once

// The signatures and key material of the ACME protocol (OpenSSL): an EC P-256 key, its JWK
// and thumbprint, ES256 signatures in the raw r||s form, the certificate request, and the
// validity of a certificate.
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// Base64url without padding (the JOSE form).
std::string Base64Url(std::string_view bytes);
// SHA-256 of `bytes`, 32 raw bytes.
std::string Sha256(std::string_view bytes);
// The JWK thumbprint of a JWK written in its canonical form (the required members only, in
// lexicographic order, no blanks): base64url of its SHA-256.
std::string JwkThumbprint(std::string_view canonicalJwk);

// An EC P-256 key pair. Empty (Valid() false) when making or reading it failed.
class CEcKey {
  public:
    CEcKey();
    ~CEcKey();
    CEcKey(CEcKey&& other) noexcept;
    CEcKey& operator=(CEcKey&& other) noexcept;
    CEcKey(const CEcKey&) = delete;
    CEcKey& operator=(const CEcKey&) = delete;

    // A fresh key from the system's random source.
    static CEcKey Generate();
    // A private key in PEM (PKCS#8 or SEC1); an empty key when it is not a P-256 key.
    static CEcKey FromPem(std::string_view pem);

    bool Valid() const { return key != nullptr; }
    // The private key as PKCS#8 PEM; empty when the key is empty.
    std::string PrivatePem() const;
    // The public key as its canonical JWK: {"crv":"P-256","kty":"EC","x":"...","y":"..."}.
    std::string Jwk() const;
    // ES256 over `data`: the 64 bytes r||s; empty on failure.
    std::string SignEs256(std::string_view data) const;
    // A certificate request (DER) for `dnsName`, its only subject alternative name, signed
    // with this key; empty on failure.
    std::string CertificateRequest(const std::string& dnsName) const;

  private:
    struct Key;
    explicit CEcKey(Key* owned);
    Key* key = nullptr;
};

// A JWS in the flattened JSON form over `protectedHeader` (JSON text) and `payload` (JSON
// text, or empty for POST-as-GET), signed with ES256 by `key`; empty on failure.
std::string MakeJws(const CEcKey& key, std::string_view protectedHeader, std::string_view payload);

// The validity of the first certificate of a PEM text.
struct CertificateInfo {
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
    std::string dnsNames; // its DNS subject alternative names, one a line
};
std::optional<CertificateInfo> ReadCertificate(std::string_view pem);

// True when `certificatePem` (a chain: the leaf first) holds the public key of `keyPem`.
bool CertificateMatchesKey(std::string_view certificatePem, std::string_view keyPem);

} // namespace tvn
