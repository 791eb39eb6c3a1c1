// The passphrase of an encrypted key, or the PIN of a token: taken from where --passin says,
// with the spelling of openssl's own options (env:VAR, file:PATH, fd:N, stdin), or asked for
// on the terminal; obtained only when a key asks, given at most once, and wiped after use.
#pragma once

#include <cstddef>
#include <string>

class Passphrase {
  public:
    // `source` as --passin gives it, "" when none was given. `what` names the key in messages.
    Passphrase(std::string source, std::string what);
    ~Passphrase();
    Passphrase(const Passphrase&) = delete;
    Passphrase& operator=(const Passphrase&) = delete;

    // Why the source is refused, or "": pass:, which every user sees in ps, and any source
    // openssl does not know.
    static std::string SourceRefusal(const std::string& source);

    // OpenSSL's passphrase callback (pem_password_cb), `data` this object. It answers once: a
    // second request is refused, since a token counts every wrong PIN and locks after a few.
    static int Callback(char* buffer, int size, int rwflag, void* data);

    // Whether a key asked for it.
    bool Asked() const { return asked_; }
    // The error line when it could not be obtained (no source and no terminal, a refused file),
    // or "".
    const std::string& Error() const { return error_; }

  private:
    std::string Obtain();
    std::string ReadLine(int fd, const char* from);
    std::string FromFile(const std::string& path);
    std::string FromTerminal();
    void Wipe();
    std::string TooLong(std::size_t limit) const;

    static constexpr std::size_t Capacity = 1024;
    std::string source_, what_;
    char secret_[Capacity];
    std::size_t length_ = 0;
    bool asked_ = false;
    std::string error_;
};
