#include "manifest/signing_key.h"

#include <fmt/core.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/store.h>
#include <openssl/ui.h>
#include <strings.h>
#include <unistd.h>

#include <memory>

#include "common/printable_path.h"
#include "manifest/key.h"
#include "manifest/passphrase.h"

namespace {

// Unloads the providers that the run loaded into its context, then frees the context: a
// provider still loaded would outlive it.
struct ContextFree {
    std::shared_ptr<std::vector<OSSL_PROVIDER*>> providers =
        std::make_shared<std::vector<OSSL_PROVIDER*>>();
    void operator()(OSSL_LIB_CTX* context) const {
        for (OSSL_PROVIDER* provider : *providers) {
            OSSL_PROVIDER_unload(provider);
        }
        OSSL_LIB_CTX_free(context);
    }
};
struct StoreClose {
    void operator()(OSSL_STORE_CTX* store) const { OSSL_STORE_close(store); }
};
struct UiFree {
    void operator()(UI_METHOD* method) const { UI_destroy_method(method); }
};

// OpenSSL's reason for the latest failure of this thread, and its queue emptied.
std::string OpenSslReason() {
    unsigned long code = ERR_peek_last_error();
    std::string reason = "unknown OpenSSL error";
    if (const char* text = code != 0 ? ERR_reason_error_string(code) : nullptr; text != nullptr) {
        reason = text;
    } else if (code != 0) {
        char full[256];
        ERR_error_string_n(code, full, sizeof full);
        reason = full;
    }
    ERR_clear_error();
    return reason;
}

// A context of the run's own: the default provider and those named, each as OpenSSL's
// configuration describes it when a run uses providers at all (a token's module, its quirks).
// The process-wide context is never touched, so nothing loaded here reaches a verifier.
std::string MakeContext(const SigningKeySettings& settings, bool uri,
                        std::shared_ptr<OSSL_LIB_CTX>& made) {
    ContextFree free;
    std::shared_ptr<OSSL_LIB_CTX> context(OSSL_LIB_CTX_new(), free);
    if (!context) {
        return "Error: OpenSSL cannot make a library context\n";
    }
    if (uri || !settings.providers.empty()) {
        std::unique_ptr<char, void (*)(void*)> file(CONF_get1_default_config_file(),
                                                    [](void* text) { OPENSSL_free(text); });
        if (file && access(file.get(), F_OK) == 0 &&
            OSSL_LIB_CTX_load_config(context.get(), file.get()) != 1) {
            return fmt::format("Error: cannot read OpenSSL configuration {}: {}\n",
                               PrintablePath(file.get()), OpenSslReason());
        }
    }
    std::vector<std::string> providers{"default"};
    providers.insert(providers.end(), settings.providers.begin(), settings.providers.end());
    for (const std::string& name : providers) {
        OSSL_PROVIDER* provider = OSSL_PROVIDER_load(context.get(), name.c_str());
        if (provider == nullptr) {
            // OpenSSL's own reason, a bare "init fail", says less than this.
            ERR_clear_error();
            return fmt::format(
                "Error: cannot load OpenSSL provider {}: not installed, or it failed to start\n",
                PrintablePath(name));
        }
        free.providers->push_back(provider);
    }
    made = std::move(context);
    return "";
}

// The path a file: URI names: file:///PATH, file://localhost/PATH or file:PATH.
std::string FileUriPath(const std::string& uri) {
    std::string rest = uri.substr(5);
    if (rest.compare(0, 11, "//localhost") == 0) {
        return rest.substr(11);
    }
    return rest.compare(0, 2, "//") == 0 ? rest.substr(2) : rest;
}

// A PIN written into the URI shows in ps, and in every message that names the URI.
bool HoldsPin(const std::string& uri) {
    for (size_t at = uri.find_first_of("?;&"); at != std::string::npos;
         at = uri.find_first_of("?;&", at + 1)) {
        if (strncasecmp(uri.c_str() + at + 1, "pin-value=", 10) == 0) {
            return true;
        }
    }
    return false;
}

std::string OpenFile(const std::string& path, const std::shared_ptr<OSSL_LIB_CTX>& context,
                     Passphrase& passphrase, ManifestKey& key) {
    std::string error =
        key.ReadFile(path, KeyPart::Private, {context, Passphrase::Callback, &passphrase});
    if (!passphrase.Error().empty()) {
        return passphrase.Error();
    }
    if (!error.empty() && passphrase.Asked()) {
        return fmt::format("Error: cannot read key {}: bad passphrase\n", PrintablePath(path));
    }
    return error;
}

std::string OpenUri(const std::string& uri, const std::shared_ptr<OSSL_LIB_CTX>& context,
                    Passphrase& passphrase, ManifestKey& key) {
    std::unique_ptr<UI_METHOD, UiFree> ui(UI_UTIL_wrap_read_pem_callback(Passphrase::Callback, 0));
    std::unique_ptr<OSSL_STORE_CTX, StoreClose> store(
        ui ? OSSL_STORE_open_ex(uri.c_str(), context.get(), nullptr, ui.get(), &passphrase, nullptr,
                                nullptr, nullptr)
           : nullptr);
    int found = 0;
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> chosen(nullptr, EVP_PKEY_free);
    bool failed = !store || OSSL_STORE_expect(store.get(), OSSL_STORE_INFO_PKEY) != 1;
    while (!failed && !OSSL_STORE_eof(store.get())) {
        OSSL_STORE_INFO* info = OSSL_STORE_load(store.get());
        if (info == nullptr) {
            failed = OSSL_STORE_error(store.get()) != 0;
            continue;
        }
        if (OSSL_STORE_INFO_get_type(info) == OSSL_STORE_INFO_PKEY && ++found == 1) {
            chosen.reset(OSSL_STORE_INFO_get1_PKEY(info));
        }
        OSSL_STORE_INFO_free(info);
    }
    store.reset();
    if (!passphrase.Error().empty()) {
        return passphrase.Error();
    }
    std::string shown = PrintablePath(uri);
    if (failed) {
        std::string reason = OpenSslReason();
        return passphrase.Asked()
                   ? fmt::format("Error: cannot open key {}: bad passphrase or PIN ({})\n", shown,
                                 reason)
                   : fmt::format("Error: cannot open key {}: {}\n", shown, reason);
    }
    ERR_clear_error();
    if (found != 1) {
        return fmt::format("Error: key {} matches {} private keys: it must match exactly one\n",
                           shown, found);
    }
    if (std::string reason = key.AdoptPrivate(chosen.release(), context); !reason.empty()) {
        return fmt::format("Error: unsupported key {}: {}\n", shown, reason);
    }
    return "";
}

}  // namespace

bool IsKeyUri(const std::string& location) {
    size_t colon = location.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(location[0])) {
        return false;
    }
    return location.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon;
}

std::string OpenSigningKey(const SigningKeySettings& settings, ManifestKey& key) {
    bool uri = IsKeyUri(settings.location);
    if (uri && HoldsPin(settings.location)) {
        return "Error: refusing a key URI that holds its PIN (pin-value), which every user sees "
               "in ps: give it with --passin or pin-source\n";
    }
    std::shared_ptr<OSSL_LIB_CTX> context;
    if (std::string error = MakeContext(settings, uri, context); !error.empty()) {
        return error;
    }
    Passphrase passphrase(settings.passin, settings.location);
    // A file: URI is a key file like any other, judged before it is read.
    bool file = uri && strncasecmp(settings.location.c_str(), "file:", 5) == 0;
    if (!uri || file) {
        return OpenFile(file ? FileUriPath(settings.location) : settings.location, context,
                        passphrase, key);
    }
    return OpenUri(settings.location, context, passphrase, key);
}
