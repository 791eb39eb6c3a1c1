// The keys that sign and verify manifests: Ed25519, ECDSA on P-256 and RSA of 3072 bits or
// more, read from PEM text or from the DER a keys file holds; the ids that name a key, the
// signature over exact bytes, and its verification, always in an OpenSSL library context of
// its own that holds the default provider alone, whatever the environment names.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <string>
#include <string_view>

enum class KeyPart { Private, Public };

// Where a private key is opened: the library context of a signing run, with the providers it
// loaded (none: the verifier's own), and what answers when the key asks for a passphrase
// (nothing: an encrypted key is refused).
struct PrivateKeyOrigin {
    std::shared_ptr<OSSL_LIB_CTX> context;
    pem_password_cb* passphrase = nullptr;
    void* passphraseData = nullptr;
};

class ManifestKey {
  public:
    ManifestKey() = default;
    ~ManifestKey();
    ManifestKey(ManifestKey&& other) noexcept;
    ManifestKey& operator=(ManifestKey&& other) noexcept;
    ManifestKey(const ManifestKey&) = delete;
    ManifestKey& operator=(const ManifestKey&) = delete;

    // Reads a PEM private key, or a PEM public key (SubjectPublicKeyInfo). Returns "" or why
    // the key cannot serve: not such a PEM key (a public key given for a private one is named
    // as such), or not one of the three kinds.
    std::string ReadPrivate(std::string_view pem, const PrivateKeyOrigin& origin = {});
    std::string ReadPublic(std::string_view pem);
    // Takes a private key that a provider of `context` opened; "" or why it cannot serve.
    std::string AdoptPrivate(EVP_PKEY* key, std::shared_ptr<OSSL_LIB_CTX> context);
    // Reads a public key from its DER SubjectPublicKeyInfo, which must be exactly the DER that
    // PublicDer() gives back: one key has one encoding, so that its id names it alone.
    std::string ReadPublicDer(std::string_view der);
    // Reads the key file at `path`: a private key is a secret, refused when others can read
    // or change it; a public key decides trust, refused when others could change it. Either is
    // refused when another user owns it or could swap it (see ReadTrustedFile). "" or the error
    // line to report.
    std::string ReadFile(const std::string& path, KeyPart part,
                         const PrivateKeyOrigin& origin = {});

    // SHA-256 over the public key's DER SubjectPublicKeyInfo in 64 hexadecimal digits, as
    // `openssl pkey -pubout -outform DER | sha256sum` gives them: the id a keys file lists.
    const std::string& FullId() const { return fullId_; }
    // Its first 16 digits, the id that every message prints.
    const std::string& Id() const { return id_; }
    const std::string& PublicDer() const { return publicDer_; }
    // Whether `other` holds the same public key.
    bool SamePublicKey(const ManifestKey& other) const { return publicDer_ == other.publicDer_; }

    // The raw signature over `bytes`: Ed25519 pure, ECDSA and RSA (PKCS#1 v1.5) over SHA-256,
    // made by the provider that holds the key, then verified with the public half alone by
    // the default provider, so that a token that returns a wrong signature fails here. "" or
    // why it failed.
    std::string Sign(std::string_view bytes, std::string& signature) const;
    // True only when `signature` is this key's over exactly `bytes`.
    bool Verify(std::string_view bytes, std::string_view signature) const;

  private:
    std::string Adopt(EVP_PKEY* key, std::shared_ptr<OSSL_LIB_CTX> context = nullptr);

    // Declared first, so that the key it holds goes before its context.
    std::shared_ptr<OSSL_LIB_CTX> context_;
    EVP_PKEY* key_ = nullptr;
    std::string propertyQuery_;  // signs in the provider that holds the key
    std::string publicDer_;
    std::string fullId_;
    std::string id_;
};

// SHA-256 over `bytes` in 64 lower-case hexadecimal digits; "" when OpenSSL failed to make it.
std::string Sha256Hex(std::string_view bytes);
