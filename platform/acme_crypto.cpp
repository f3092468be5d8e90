#include "platform/acme_crypto.h"

#include <cstring>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <vector>

namespace tvn {
namespace {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using ReqPtr = std::unique_ptr<X509_REQ, Deleter<X509_REQ, X509_REQ_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES, GENERAL_NAMES_free>>;
void FreeExtensions(STACK_OF(X509_EXTENSION) * extensions) {
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
}
using ExtsPtr =
    std::unique_ptr<STACK_OF(X509_EXTENSION), Deleter<STACK_OF(X509_EXTENSION), FreeExtensions>>;

BioPtr MemoryBio(std::string_view bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// A 32-byte big-endian coordinate or scalar.
std::string Fixed32(const BIGNUM* number) {
    std::string bytes(32, '\0');
    if (BN_bn2binpad(number, reinterpret_cast<unsigned char*>(bytes.data()), 32) != 32)
        return {};
    return bytes;
}

bool IsP256(EVP_PKEY* pkey) {
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_EC)
        return false;
    char group[64] = {};
    std::size_t length = 0;
    if (!EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        &length))
        return false;
    return std::strcmp(group, "prime256v1") == 0 || std::strcmp(group, "P-256") == 0;
}

std::time_t ToTime(const ASN1_TIME* time) {
    struct tm parts {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return 0;
    return timegm(&parts);
}

} // namespace

struct CEcKey::Key {
    PkeyPtr pkey;
};

std::string Base64Url(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        text += kDigits[v >> 18 & 63];
        text += kDigits[v >> 12 & 63];
        text += kDigits[v >> 6 & 63];
        text += kDigits[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        text += kDigits[v >> 18 & 63];
        text += kDigits[v >> 12 & 63];
        if (rest == 2)
            text += kDigits[v >> 6 & 63];
    }
    return text;
}

std::string Sha256(std::string_view bytes) {
    std::string digest(32, '\0');
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()),
                   &size, EVP_sha256(), nullptr) != 1 ||
        size != 32)
        return {};
    return digest;
}

std::string JwkThumbprint(std::string_view canonicalJwk) { return Base64Url(Sha256(canonicalJwk)); }

CEcKey::CEcKey() = default;
CEcKey::CEcKey(Key* owned) : key(owned) {}
CEcKey::~CEcKey() { delete key; }
CEcKey::CEcKey(CEcKey&& other) noexcept : key(other.key) { other.key = nullptr; }
CEcKey& CEcKey::operator=(CEcKey&& other) noexcept {
    if (this != &other) {
        delete key;
        key = other.key;
        other.key = nullptr;
    }
    return *this;
}

CEcKey CEcKey::Generate() {
    PkeyPtr pkey(EVP_EC_gen("P-256"));
    if (!pkey)
        return {};
    return CEcKey(new Key{std::move(pkey)});
}

CEcKey CEcKey::FromPem(std::string_view pem) {
    BioPtr bio = MemoryBio(pem);
    if (!bio)
        return {};
    PkeyPtr pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!pkey || !IsP256(pkey.get()))
        return {};
    return CEcKey(new Key{std::move(pkey)});
}

std::string CEcKey::PrivatePem() const {
    if (!key)
        return {};
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key->pkey.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1)
        return {};
    return BioText(bio.get());
}

std::string CEcKey::Jwk() const {
    if (!key)
        return {};
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    EVP_PKEY_get_bn_param(key->pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x);
    EVP_PKEY_get_bn_param(key->pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y);
    BnPtr ownX(x);
    BnPtr ownY(y);
    if (!x || !y)
        return {};
    const std::string xBytes = Fixed32(x);
    const std::string yBytes = Fixed32(y);
    if (xBytes.empty() || yBytes.empty())
        return {};
    return R"({"crv":"P-256","kty":"EC","x":")" + Base64Url(xBytes) + R"(","y":")" +
           Base64Url(yBytes) + R"("})";
}

std::string CEcKey::SignEs256(std::string_view data) const {
    if (!key)
        return {};
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md || EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key->pkey.get()) != 1)
        return {};
    std::size_t size = 0;
    if (EVP_DigestSign(md.get(), nullptr, &size,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        return {};
    std::vector<unsigned char> der(size);
    if (EVP_DigestSign(md.get(), der.data(), &size,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        return {};
    const unsigned char* at = der.data();
    SigPtr sig(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(size)));
    if (!sig)
        return {};
    const std::string r = Fixed32(ECDSA_SIG_get0_r(sig.get()));
    const std::string s = Fixed32(ECDSA_SIG_get0_s(sig.get()));
    if (r.empty() || s.empty())
        return {};
    return r + s;
}

std::string CEcKey::CertificateRequest(const std::string& dnsName) const {
    if (!key || dnsName.empty())
        return {};
    ReqPtr req(X509_REQ_new());
    NamePtr subject(X509_NAME_new());
    if (!req || !subject)
        return {};
    X509_REQ_set_version(req.get(), 0);
    if (X509_NAME_add_entry_by_txt(subject.get(), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(dnsName.c_str()), -1, -1,
                                   0) != 1 ||
        X509_REQ_set_subject_name(req.get(), subject.get()) != 1 ||
        X509_REQ_set_pubkey(req.get(), key->pkey.get()) != 1)
        return {};
    NamesPtr names(GENERAL_NAMES_new());
    GENERAL_NAME* name = GENERAL_NAME_new();
    ASN1_IA5STRING* text = ASN1_IA5STRING_new();
    if (!names || !name || !text ||
        ASN1_STRING_set(text, dnsName.data(), static_cast<int>(dnsName.size())) != 1) {
        GENERAL_NAME_free(name);
        ASN1_IA5STRING_free(text);
        return {};
    }
    GENERAL_NAME_set0_value(name, GEN_DNS, text);
    sk_GENERAL_NAME_push(names.get(), name);
    ExtsPtr extensions(sk_X509_EXTENSION_new_null());
    X509_EXTENSION* san = X509V3_EXT_i2d(NID_subject_alt_name, 0, names.get());
    if (!extensions || !san) {
        X509_EXTENSION_free(san);
        return {};
    }
    sk_X509_EXTENSION_push(extensions.get(), san);
    if (X509_REQ_add_extensions(req.get(), extensions.get()) != 1 ||
        X509_REQ_sign(req.get(), key->pkey.get(), EVP_sha256()) <= 0)
        return {};
    const int size = i2d_X509_REQ(req.get(), nullptr);
    if (size <= 0)
        return {};
    std::string der(static_cast<std::size_t>(size), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_X509_REQ(req.get(), &out) != size)
        return {};
    return der;
}

std::string MakeJws(const CEcKey& key, std::string_view protectedHeader, std::string_view payload) {
    const std::string header = Base64Url(protectedHeader);
    const std::string body = Base64Url(payload);
    const std::string signature = key.SignEs256(header + "." + body);
    if (signature.empty())
        return {};
    return R"({"protected":")" + header + R"(","payload":")" + body + R"(","signature":")" +
           Base64Url(signature) + R"("})";
}

std::optional<CertificateInfo> ReadCertificate(std::string_view pem) {
    BioPtr bio = MemoryBio(pem);
    if (!bio)
        return std::nullopt;
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert)
        return std::nullopt;
    CertificateInfo info;
    info.notBefore = ToTime(X509_get0_notBefore(cert.get()));
    info.notAfter = ToTime(X509_get0_notAfter(cert.get()));
    if (info.notBefore == 0 || info.notAfter <= info.notBefore)
        return std::nullopt;
    NamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type != GEN_DNS)
            continue;
        const ASN1_IA5STRING* text = name->d.dNSName;
        info.dnsNames.append(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                             static_cast<std::size_t>(ASN1_STRING_length(text)));
        info.dnsNames += '\n';
    }
    return info;
}

bool CertificateMatchesKey(std::string_view certificatePem, std::string_view keyPem) {
    BioPtr certBio = MemoryBio(certificatePem);
    BioPtr keyBio = MemoryBio(keyPem);
    if (!certBio || !keyBio)
        return false;
    X509Ptr cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    PkeyPtr pkey(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    return cert && pkey && X509_check_private_key(cert.get(), pkey.get()) == 1;
}

} // namespace tvn
