#include "platform/tls.h"

#include "platform/file_io.h"

#include <arpa/inet.h>
#include <cstdio>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <utility>

namespace tvn {
namespace {

// Common practice for a server that browsers of the last five years reach.
constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kGroups = "X25519:prime256v1:secp384r1";
constexpr unsigned char kSessionContext[] = "tarvolin";
constexpr long kValiditySeconds = 10L * 366 * 24 * 3600;

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

X509Ptr ReadCertificate(BIO* bio) {
    return X509Ptr(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
}

// Every certificate of a PEM file, leaf first; empty when the first does not read.
std::vector<X509Ptr> ReadChain(const std::string& file) {
    std::vector<X509Ptr> chain;
    BioPtr bio(BIO_new_file(file.c_str(), "r"));
    if (!bio)
        return chain;
    while (X509Ptr cert = ReadCertificate(bio.get()))
        chain.push_back(std::move(cert));
    ERR_clear_error(); // the end of the file reads as an error
    return chain;
}

PkeyPtr ReadKey(const std::string& file) {
    BioPtr bio(BIO_new_file(file.c_str(), "r"));
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return key;
}

X509Ptr ReadFirst(const std::string& file) {
    BioPtr bio(BIO_new_file(file.c_str(), "r"));
    X509Ptr cert(bio ? ReadCertificate(bio.get()) : nullptr);
    ERR_clear_error();
    return cert;
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned inLength, void*) {
    static const unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, kHttp11, sizeof kHttp11, in, inLength) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK; // the client goes on without ALPN
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

std::string PemOf(int (*write)(BIO*, void*), void* object) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get(), object) != 1)
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

int WriteCertificatePem(BIO* bio, void* cert) {
    return PEM_write_bio_X509(bio, static_cast<X509*>(cert));
}

int WriteKeyPem(BIO* bio, void* key) {
    return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(key), nullptr, nullptr, 0, nullptr,
                                    nullptr);
}

// A general name of `type` holding `value`, which it takes over; null (and `value` freed)
// when it cannot be made.
GENERAL_NAME* NameOwning(int type, ASN1_STRING* value) {
    GENERAL_NAME* name = value ? GENERAL_NAME_new() : nullptr;
    if (!name) {
        ASN1_STRING_free(value);
        return nullptr;
    }
    GENERAL_NAME_set0_value(name, type, value);
    return name;
}

bool AddName(GENERAL_NAMES* names, const std::string& text, bool isAddress) {
    GENERAL_NAME* name = nullptr;
    if (isAddress) {
        unsigned char bytes[16];
        int length = 0;
        if (::inet_pton(AF_INET, text.c_str(), bytes) == 1)
            length = 4;
        else if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1)
            length = 16;
        else
            return false;
        ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
        if (octets && !ASN1_OCTET_STRING_set(octets, bytes, length)) {
            ASN1_OCTET_STRING_free(octets);
            return false;
        }
        name = NameOwning(GEN_IPADD, octets);
    } else {
        ASN1_IA5STRING* ia5 = ASN1_IA5STRING_new();
        if (ia5 && !ASN1_STRING_set(ia5, text.data(), static_cast<int>(text.size()))) {
            ASN1_IA5STRING_free(ia5);
            return false;
        }
        name = NameOwning(GEN_DNS, ia5);
    }
    if (!name)
        return false;
    if (sk_GENERAL_NAME_push(names, name) <= 0) {
        GENERAL_NAME_free(name);
        return false;
    }
    return true;
}

std::string AddressText(const ASN1_OCTET_STRING* octets) {
    char text[INET6_ADDRSTRLEN] = {};
    const int length = ASN1_STRING_length(octets);
    const unsigned char* bytes = ASN1_STRING_get0_data(octets);
    if (length == 4)
        ::inet_ntop(AF_INET, bytes, text, sizeof text);
    else if (length == 16)
        ::inet_ntop(AF_INET6, bytes, text, sizeof text);
    return text;
}

} // namespace

struct CTlsContext::Impl {
    CtxPtr ctx;
};

CTlsContext::CTlsContext() : impl(std::make_unique<Impl>()) {
    impl->ctx.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* ctx = impl->ctx.get();
    if (!ctx)
        return;
    const bool configured =
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
        SSL_CTX_set_cipher_list(ctx, kCipherList) == 1 &&
        SSL_CTX_set_ciphersuites(ctx, kTls13Suites) == 1 &&
        SSL_CTX_set1_groups_list(ctx, kGroups) == 1 &&
        SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1) == 1;
    if (!configured) {
        impl->ctx.reset();
        ERR_clear_error();
        return;
    }
    SSL_CTX_set_dh_auto(ctx, 1);
    // Tickets are on by default; renegotiation and compression are off.
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_clear_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    // A partial write keeps its place: the connection retries with the same buffer, which
    // may have moved as it refills.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, nullptr);
    // Reads as much as the socket holds, not a record header and then its body: one read
    // call per request instead of two. What is read ahead of the current record waits in
    // the session, where the socket's readiness does not see it (HasPending).
    SSL_CTX_set_read_ahead(ctx, 1);
}

CTlsContext::~CTlsContext() = default;

bool CTlsContext::Valid() const { return impl->ctx != nullptr; }

bool CTlsContext::UseCertificate(const std::string& certificateFile, const std::string& keyFile) {
    if (!Valid())
        return false;
    std::vector<X509Ptr> chain = ReadChain(certificateFile);
    PkeyPtr key = ReadKey(keyFile);
    if (chain.empty() || !key || X509_check_private_key(chain.front().get(), key.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    SSL_CTX* ctx = impl->ctx.get();
    bool used = SSL_CTX_use_certificate(ctx, chain.front().get()) == 1 &&
                SSL_CTX_use_PrivateKey(ctx, key.get()) == 1 && SSL_CTX_clear_chain_certs(ctx) == 1;
    for (std::size_t i = 1; used && i < chain.size(); ++i)
        used = SSL_CTX_add1_chain_cert(ctx, chain[i].get()) == 1;
    ERR_clear_error();
    hasCertificate = hasCertificate || used;
    return used;
}

CTlsSession::CTlsSession(CTlsContext& context, int fd) {
    if (!context.Valid())
        return;
    SSL* s = SSL_new(context.impl->ctx.get());
    if (!s)
        return;
    if (SSL_set_fd(s, fd) != 1) {
        SSL_free(s);
        ERR_clear_error();
        return;
    }
    SSL_set_accept_state(s);
    ssl = s;
}

CTlsSession::~CTlsSession() { SSL_free(static_cast<SSL*>(ssl)); }

long CTlsSession::Result(int returned) {
    SSL* s = static_cast<SSL*>(ssl);
    const int error = SSL_get_error(s, returned);
    ERR_clear_error();
    switch (error) {
    case SSL_ERROR_WANT_READ:
        wanted = Step::kWantRead;
        return kWouldBlock;
    case SSL_ERROR_WANT_WRITE:
        wanted = Step::kWantWrite;
        return kWouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        wanted = Step::kDone;
        return 0;
    default:
        wanted = Step::kDone;
        return kFailed;
    }
}

CTlsSession::Step CTlsSession::Handshake() {
    if (!ssl)
        return Step::kFailed;
    if (handshakeDone)
        return Step::kDone;
    const int returned = SSL_do_handshake(static_cast<SSL*>(ssl));
    if (returned == 1) {
        handshakeDone = true;
        wanted = Step::kDone;
        return Step::kDone;
    }
    const long result = Result(returned);
    if (result == kWouldBlock)
        return wanted;
    return Step::kFailed;
}

long CTlsSession::Read(char* buffer, std::size_t length) {
    if (!ssl)
        return kFailed;
    if (!handshakeDone) {
        const Step step = Handshake();
        if (step == Step::kFailed)
            return kFailed;
        if (step != Step::kDone)
            return kWouldBlock;
    }
    std::size_t got = 0;
    // Everything already decrypted comes in one call: the socket's readiness says nothing
    // of a record that is read but not yet handed out.
    while (got < length) {
        std::size_t n = 0;
        const int returned = SSL_read_ex(static_cast<SSL*>(ssl), buffer + got, length - got, &n);
        if (returned != 1) {
            const long result = Result(returned);
            if (got > 0)
                return static_cast<long>(got);
            return result;
        }
        wanted = Step::kDone;
        got += n;
        if (!HasPending())
            break;
    }
    return static_cast<long>(got);
}

long CTlsSession::Write(const char* data, std::size_t length) {
    if (!ssl)
        return kFailed;
    if (!handshakeDone) {
        const Step step = Handshake();
        if (step == Step::kFailed)
            return kFailed;
        if (step != Step::kDone)
            return kWouldBlock;
    }
    if (length == 0)
        return 0;
    std::size_t n = 0;
    const int returned = SSL_write_ex(static_cast<SSL*>(ssl), data, length, &n);
    if (returned == 1) {
        wanted = Step::kDone;
        return static_cast<long>(n);
    }
    const long result = Result(returned);
    return result == 0 ? kFailed : result;
}

bool CTlsSession::Shutdown() {
    if (!ssl || !handshakeDone)
        return false;
    if (shutdownSent)
        return true;
    const int returned = SSL_shutdown(static_cast<SSL*>(ssl));
    ERR_clear_error();
    shutdownSent = returned >= 0;
    return shutdownSent;
}

std::string CTlsSession::Alpn() const {
    if (!ssl)
        return {};
    const unsigned char* data = nullptr;
    unsigned length = 0;
    SSL_get0_alpn_selected(static_cast<const SSL*>(ssl), &data, &length);
    return data ? std::string(reinterpret_cast<const char*>(data), length) : std::string();
}

bool CTlsSession::HasPending() const {
    return ssl && SSL_has_pending(static_cast<const SSL*>(ssl)) == 1;
}

bool CTlsSession::Resumed() const { return ssl && SSL_session_reused(static_cast<SSL*>(ssl)) == 1; }

bool MakeSelfSignedCertificate(const std::vector<std::string>& dnsNames,
                               const std::vector<std::string>& ipAddresses,
                               const std::string& certificateFile, const std::string& keyFile) {
    PkeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> names(sk_GENERAL_NAME_new_null());
    if (!key || !cert || !names) {
        ERR_clear_error();
        return false;
    }
    bool made = X509_set_version(cert.get(), 2) == 1;
    // A random serial number: a browser that saw an earlier certificate of ours must not
    // take this one for it.
    unsigned char serial[16];
    FILE* random = std::fopen("/dev/urandom", "rb");
    made = made && random && std::fread(serial, 1, sizeof serial, random) == sizeof serial;
    if (random)
        std::fclose(random);
    serial[0] &= 0x7f;
    BIGNUM* number = made ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr;
    made = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(number);
    made = made && X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
           X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds);
    const std::string commonName = dnsNames.empty() ? "localhost" : dnsNames.front();
    X509_NAME* subject = X509_get_subject_name(cert.get());
    made = made &&
           X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(commonName.c_str()),
                                      -1, -1, 0) == 1 &&
           X509_set_issuer_name(cert.get(), subject) == 1 &&
           X509_set_pubkey(cert.get(), key.get()) == 1;
    for (const std::string& name : dnsNames)
        made = made && AddName(names.get(), name, false);
    for (const std::string& address : ipAddresses)
        made = made && AddName(names.get(), address, true);
    made = made && X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, names.get(), 0,
                                     X509V3_ADD_REPLACE) == 1;
    BASIC_CONSTRAINTS* constraints = BASIC_CONSTRAINTS_new();
    made = made && constraints &&
           X509_add1_ext_i2d(cert.get(), NID_basic_constraints, constraints, 1,
                             X509V3_ADD_REPLACE) == 1;
    BASIC_CONSTRAINTS_free(constraints);
    // Browsers want to read that the certificate is for a server.
    X509V3_CTX extensions;
    X509V3_set_ctx_nodb(&extensions);
    X509V3_set_ctx(&extensions, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_key_usage, "critical,digitalSignature"},
                                     std::pair{NID_ext_key_usage, "serverAuth"}}) {
        X509_EXTENSION* extension =
            made ? X509V3_EXT_conf_nid(nullptr, &extensions, nid, value) : nullptr;
        made = extension && X509_add_ext(cert.get(), extension, -1) == 1;
        X509_EXTENSION_free(extension);
    }
    made = made && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    ERR_clear_error();
    if (!made)
        return false;
    const std::string keyPem = PemOf(WriteKeyPem, key.get());
    const std::string certPem = PemOf(WriteCertificatePem, cert.get());
    return !keyPem.empty() && !certPem.empty() && ReplaceWhole(keyFile, keyPem, 0600) == 0 &&
           ReplaceWhole(certificateFile, certPem, 0600) == 0;
}

std::vector<std::string> CertificateNames(const std::string& certificateFile) {
    std::vector<std::string> result;
    const X509Ptr cert = ReadFirst(certificateFile);
    if (!cert)
        return result;
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
    ERR_clear_error();
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING* text = name->d.dNSName;
            result.push_back("DNS:" +
                             std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                         static_cast<std::size_t>(ASN1_STRING_length(text))));
        } else if (name->type == GEN_IPADD) {
            result.push_back("IP:" + AddressText(name->d.iPAddress));
        }
    }
    return result;
}

std::string CertificateFingerprint(const std::string& certificateFile) {
    const X509Ptr cert = ReadFirst(certificateFile);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!cert || X509_digest(cert.get(), EVP_sha256(), digest, &length) != 1) {
        ERR_clear_error();
        return {};
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        if (i > 0)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

bool CertificateMatchesKey(const std::string& certificateFile, const std::string& keyFile) {
    const X509Ptr cert = ReadFirst(certificateFile);
    const PkeyPtr key = ReadKey(keyFile);
    const bool matches = cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
    ERR_clear_error();
    return matches;
}

} // namespace tvn
