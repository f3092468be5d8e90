#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tvn {

// The TLS side of the HTTPS listener (OpenSSL 3). Nothing else includes OpenSSL: callers
// see contexts and sessions, integers and booleans.

// The server's TLS settings: TLS 1.2 and 1.3 only, the intermediate cipher list of common
// practice for browsers of the last years, ALPN http/1.1, session tickets so that a
// returning browser resumes without a full handshake. The certificate can be swapped at
// any time; sessions made after that use the new one.
class CTlsContext {
  public:
    CTlsContext();
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // False when OpenSSL could not make the context; nothing works then.
    bool Valid() const;
    // Uses the certificate chain (leaf first) in PEM file `certificateFile` with the private
    // key in PEM file `keyFile`. False, and the certificate in use kept, when either does not
    // read or the key does not belong to the certificate.
    bool UseCertificate(const std::string& certificateFile, const std::string& keyFile);
    // True once a certificate is in use.
    bool HasCertificate() const { return hasCertificate; }

  private:
    friend class CTlsSession;
    struct Impl;
    std::unique_ptr<Impl> impl;
    bool hasCertificate = false;
};

// The server end of one TLS connection over a non-blocking socket `fd` (not owned). Every
// call returns at once; a call that would block says which readiness it waits for.
class CTlsSession {
  public:
    enum class Step { kDone, kWantRead, kWantWrite, kFailed };
    static constexpr long kWouldBlock = -1;
    static constexpr long kFailed = -2;

    CTlsSession(CTlsContext& context, int fd);
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // Goes on with the handshake as far as it can.
    Step Handshake();
    bool HandshakeDone() const { return handshakeDone; }
    // Plain bytes read (>0), 0 when the peer closed, kWouldBlock or kFailed. Drives the
    // handshake when it is not done.
    long Read(char* buffer, std::size_t length);
    // Plain bytes written (>0), kWouldBlock or kFailed. Drives the handshake too.
    long Write(const char* data, std::size_t length);
    // Sends the close notification once; true when it went (or had gone).
    bool Shutdown();
    // The readiness the last call that would block waited for (kDone when none).
    Step Wanted() const { return wanted; }
    // The protocol agreed by ALPN ("http/1.1"), empty when none.
    std::string Alpn() const;
    // True when the handshake resumed an earlier session.
    bool Resumed() const;
    // True when bytes already taken from the socket wait in the session, decrypted or not:
    // the socket's readiness will not tell of them.
    bool HasPending() const;

  private:
    long Result(int returned);
    void* ssl = nullptr; // SSL*
    bool handshakeDone = false;
    bool shutdownSent = false;
    Step wanted = Step::kDone;
};

// Makes a self-signed certificate (ECDSA P-256, valid for ten years) whose subject
// alternative names are `dnsNames` and the IPv4/IPv6 addresses `ipAddresses`, the first DNS
// name its common name, and writes it and its key as PEM to `certificateFile` and
// `keyFile`, each readable by the owner only (replacing them whole). False on any failure.
bool MakeSelfSignedCertificate(const std::vector<std::string>& dnsNames,
                               const std::vector<std::string>& ipAddresses,
                               const std::string& certificateFile, const std::string& keyFile);

// The subject alternative names of the first certificate in PEM file `certificateFile`, as
// "DNS:name" and "IP:address" in the certificate's order; empty when it does not read.
std::vector<std::string> CertificateNames(const std::string& certificateFile);

// The SHA-256 fingerprint of the first certificate in PEM file `certificateFile`, as upper-case
// hexadecimal pairs joined by ':'; empty when it does not read.
std::string CertificateFingerprint(const std::string& certificateFile);

// True when the PEM files hold a certificate and the private key that belongs to it.
bool CertificateMatchesKey(const std::string& certificateFile, const std::string& keyFile);

} // namespace tvn
