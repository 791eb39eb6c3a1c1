#include "manifest/key.h"

#include <fmt/core.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <utility>

#include "common/printable_path.h"
#include "manifest/format.h"
#include "manifest/trusted_file.h"

namespace {

constexpr int MinimumRsaBits = 3072;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextFree>;

// A key protected by a passphrase is refused unless the caller gave a way to obtain one: the
// program may run at boot or from a script, with nobody at the terminal.
int RefusePassphrase(char*, int, int, void*) {
    return 0;
}

// The context every key is read and verified in unless a signing run gave its own: made once,
// never changed, with OpenSSL's built-in default provider alone. A new context reads no
// configuration file, and the default provider is no module that OPENSSL_MODULES could
// replace. Null when OpenSSL could not make it, and then nothing verifies.
OSSL_LIB_CTX* VerifierContext() {
    static OSSL_LIB_CTX* const context = [] {
        // Neither may the process-wide context read OPENSSL_CONF when it is first used.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
        OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
        if (made != nullptr && OSSL_PROVIDER_load(made, "default") == nullptr) {
            OSSL_LIB_CTX_free(made);
            made = nullptr;
        }
        return made;
    }();
    return context;
}

constexpr const char* NoVerifierContext = "OpenSSL cannot make a library context";

// OpenSSL's reason for the latest failure of this thread, and its queue emptied.
std::string OpenSslReason() {
    unsigned long code = ERR_peek_last_error();
    char text[256] = "unknown OpenSSL error";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    return text;
}

// Why a key is none of the three kinds manifests are signed with, or "".
std::string UnsupportedReason(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "ED25519")) {
        return "";
    }
    if (EVP_PKEY_is_a(key, "EC")) {
        char group[64] = "";
        size_t length = 0;
        if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1) {
            return "an ECDSA key on an unnamed curve (only P-256 is taken)";
        }
        if (std::strcmp(group, "prime256v1") == 0 || std::strcmp(group, "P-256") == 0) {
            return "";
        }
        return fmt::format("an ECDSA key on curve {} (only P-256 is taken)", group);
    }
    if (EVP_PKEY_is_a(key, "RSA")) {
        int bits = EVP_PKEY_get_bits(key);
        if (bits >= MinimumRsaBits) {
            return "";
        }
        return fmt::format("an RSA key of {} bits (at least {} are needed)", bits, MinimumRsaBits);
    }
    const char* name = EVP_PKEY_get0_type_name(key);
    return fmt::format(
        "a key of type {} (Ed25519, ECDSA on P-256 or RSA of {} bits or more are "
        "taken)",
        name != nullptr ? name : "unknown", MinimumRsaBits);
}

constexpr const char* PublicForPrivate = "a public key, not a private key";

bool IsPublicKey(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* key = bio && VerifierContext()
                        ? PEM_read_bio_PUBKEY_ex(bio.get(), nullptr, RefusePassphrase, nullptr,
                                                 VerifierContext(), nullptr)
                        : nullptr;
    ERR_clear_error();
    EVP_PKEY_free(key);
    return key != nullptr;
}

// Ed25519 signs the message itself; the others sign its SHA-256 digest.
const char* MessageDigest(EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "ED25519") ? nullptr : "SHA256";
}

}  // namespace

ManifestKey::~ManifestKey() {
    EVP_PKEY_free(key_);
}

ManifestKey::ManifestKey(ManifestKey&& other) noexcept
    : context_(std::move(other.context_)),
      key_(std::exchange(other.key_, nullptr)),
      propertyQuery_(std::move(other.propertyQuery_)),
      publicDer_(std::move(other.publicDer_)),
      fullId_(std::move(other.fullId_)),
      id_(std::move(other.id_)) {}

ManifestKey& ManifestKey::operator=(ManifestKey&& other) noexcept {
    std::swap(context_, other.context_);
    std::swap(key_, other.key_);
    std::swap(propertyQuery_, other.propertyQuery_);
    std::swap(publicDer_, other.publicDer_);
    std::swap(fullId_, other.fullId_);
    std::swap(id_, other.id_);
    return *this;
}

std::string ManifestKey::Adopt(EVP_PKEY* key, std::shared_ptr<OSSL_LIB_CTX> context) {
    // The old key goes before the context it may live in.
    EVP_PKEY_free(key_);
    key_ = key;
    context_ = std::move(context);
    // Without a query the default provider would take a key that a token holds, and fail.
    const OSSL_PROVIDER* provider = EVP_PKEY_get0_provider(key_);
    propertyQuery_ =
        provider != nullptr ? fmt::format("?provider={}", OSSL_PROVIDER_get0_name(provider)) : "";
    publicDer_.clear();
    fullId_.clear();
    id_.clear();
    if (std::string reason = UnsupportedReason(key_); !reason.empty()) {
        return reason;
    }
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(key_, &der);
    if (length <= 0) {
        return OpenSslReason();
    }
    publicDer_.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    fullId_ = Sha256Hex(publicDer_);
    if (fullId_.empty()) {
        return "cannot take the SHA-256 digest of the key";
    }
    id_ = fullId_.substr(0, 16);
    return "";
}

std::string ManifestKey::AdoptPrivate(EVP_PKEY* key, std::shared_ptr<OSSL_LIB_CTX> context) {
    return Adopt(key, std::move(context));
}

std::string ManifestKey::ReadPublicDer(std::string_view der) {
    if (VerifierContext() == nullptr) {
        return NoVerifierContext;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(der.data());
    EVP_PKEY* key =
        d2i_PUBKEY_ex(nullptr, &data, static_cast<long>(der.size()), VerifierContext(), nullptr);
    if (key == nullptr) {
        ERR_clear_error();
        return "not a DER public key";
    }
    if (std::string reason = Adopt(key); !reason.empty()) {
        return reason;
    }
    return publicDer_ == der ? "" : "not the DER encoding of its key";
}

std::string ManifestKey::ReadPrivate(std::string_view pem, const PrivateKeyOrigin& origin) {
    OSSL_LIB_CTX* context = origin.context ? origin.context.get() : VerifierContext();
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* key =
        bio && context != nullptr
            ? PEM_read_bio_PrivateKey_ex(bio.get(), nullptr,
                                         origin.passphrase ? origin.passphrase : RefusePassphrase,
                                         origin.passphraseData, context, nullptr)
            : nullptr;
    if (key == nullptr) {
        ERR_clear_error();
        return IsPublicKey(pem)    ? PublicForPrivate
               : origin.passphrase ? "not a PEM private key"
                                   : "not a PEM private key without a passphrase";
    }
    return Adopt(key, origin.context);
}

std::string ManifestKey::ReadPublic(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* key = bio && VerifierContext() != nullptr
                        ? PEM_read_bio_PUBKEY_ex(bio.get(), nullptr, RefusePassphrase, nullptr,
                                                 VerifierContext(), nullptr)
                        : nullptr;
    if (key == nullptr) {
        ERR_clear_error();
        return "not a PEM public key";
    }
    return Adopt(key);
}

std::string ManifestKey::Sign(std::string_view bytes, std::string& signature) const {
    DigestContext context(EVP_MD_CTX_new());
    size_t length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    OSSL_LIB_CTX* library = context_ ? context_.get() : VerifierContext();
    if (!context || library == nullptr ||
        EVP_DigestSignInit_ex(context.get(), nullptr, MessageDigest(key_), library,
                              propertyQuery_.empty() ? nullptr : propertyQuery_.c_str(), key_,
                              nullptr) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, data, bytes.size()) != 1) {
        return OpenSslReason();
    }
    signature.assign(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       data, bytes.size()) != 1) {
        return OpenSslReason();
    }
    signature.resize(length);
    ManifestKey publicHalf;
    if (!publicHalf.ReadPublicDer(publicDer_).empty() || !publicHalf.Verify(bytes, signature)) {
        signature.clear();
        return "the signature made does not verify with the key's public half";
    }
    return "";
}

std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD* sha256 =
        VerifierContext() ? EVP_MD_fetch(VerifierContext(), "SHA256", nullptr) : nullptr;
    // Fails only when the library cannot allocate a context: "" then, never a wrong digest.
    bool made = sha256 != nullptr &&
                EVP_Digest(bytes.data(), bytes.size(), digest, &length, sha256, nullptr) == 1;
    EVP_MD_free(sha256);
    if (!made) {
        ERR_clear_error();
        return "";
    }
    return EncodeHex(digest, length);
}

bool ManifestKey::Verify(std::string_view bytes, std::string_view signature) const {
    DigestContext context(EVP_MD_CTX_new());
    // Anything but exactly 1 is a refusal: 0 is a bad signature, a negative value an error.
    // Always in the verifier's own context: a key that a token holds is verified with its
    // public half, which Sign reads there.
    bool verified =
        context && context_ == nullptr && VerifierContext() != nullptr &&
        EVP_DigestVerifyInit_ex(context.get(), nullptr, MessageDigest(key_), VerifierContext(),
                                nullptr, key_, nullptr) == 1 &&
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size()) == 1;
    ERR_clear_error();
    return verified;
}

std::string ManifestKey::ReadFile(const std::string& path, KeyPart part,
                                  const PrivateKeyOrigin& origin) {
    FileRead file;
    Exposure exposure = part == KeyPart::Private ? Exposure::Read : Exposure::Write;
    std::string error = ReadTrustedFile(path, exposure, "cannot read key file", file);
    std::string reason;
    if (error.empty()) {
        reason =
            part == KeyPart::Private ? ReadPrivate(file.bytes, origin) : ReadPublic(file.bytes);
    } else if (part == KeyPart::Private && IsPublicKey(file.bytes)) {
        // Named as such before its mode is judged: made a secret's, it would be refused all the
        // same. The bytes of a refused file serve only to say so.
        reason = PublicForPrivate;
    } else {
        return error;
    }
    return reason.empty()
               ? ""
               : fmt::format("Error: unsupported key {}: {}\n", PrintablePath(path), reason);
}
