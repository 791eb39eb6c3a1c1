#include "manifest/passphrase.h"

#include <fmt/core.h>
#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/printable_path.h"
#include "manifest/trusted_file.h"

namespace {

constexpr const char* HowToGiveIt = "give it with --passin env:VAR, file:PATH, fd:N or stdin";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The descriptor N of fd:N, or -1.
int Descriptor(const std::string& digits) {
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != digits.npos) {
        return -1;
    }
    return std::atoi(digits.c_str());
}

std::string SystemError(int error) {
    return std::generic_category().message(error);
}

}  // namespace

Passphrase::Passphrase(std::string source, std::string what)
    : source_(std::move(source)), what_(std::move(what)) {}

Passphrase::~Passphrase() {
    Wipe();
}

std::string Passphrase::TooLong(std::size_t limit) const {
    return fmt::format("Error: the passphrase of {} is longer than {} bytes\n",
                       PrintablePath(what_), limit);
}

void Passphrase::Wipe() {
    OPENSSL_cleanse(secret_, sizeof secret_);
    length_ = 0;
}

std::string Passphrase::SourceRefusal(const std::string& source) {
    if (StartsWith(source, "pass:")) {
        return "pass: shows the passphrase to every user in ps: give env:VAR, file:PATH, "
               "fd:N or stdin";
    }
    if ((StartsWith(source, "env:") && source.size() > 4) ||
        (StartsWith(source, "file:") && source.size() > 5) ||
        (StartsWith(source, "fd:") && Descriptor(source.substr(3)) >= 0) || source == "stdin") {
        return "";
    }
    return "SOURCE must be env:VAR, file:PATH, fd:N or stdin, not '" + source + "'";
}

int Passphrase::Callback(char* buffer, int size, int, void* data) {
    auto* self = static_cast<Passphrase*>(data);
    if (self == nullptr || self->asked_ || size <= 0) {
        return -1;
    }
    self->asked_ = true;
    self->error_ = self->Obtain();
    if (!self->error_.empty() || self->length_ > static_cast<std::size_t>(size)) {
        self->Wipe();
        if (self->error_.empty()) {
            self->error_ = self->TooLong(static_cast<std::size_t>(size));
        }
        return -1;
    }
    std::memcpy(buffer, self->secret_, self->length_);
    int length = static_cast<int>(self->length_);
    // OpenSSL wipes its own copy once it has used it; this one is not needed again.
    self->Wipe();
    return length;
}

std::string Passphrase::Obtain() {
    if (source_.empty()) {
        return FromTerminal();
    }
    if (StartsWith(source_, "env:")) {
        const char* value = std::getenv(source_.c_str() + 4);
        if (value == nullptr) {
            return fmt::format("Error: cannot read the passphrase of {}: {} is not set\n",
                               PrintablePath(what_), PrintablePath(source_.substr(4)));
        }
        length_ = std::strlen(value);
        if (length_ >= Capacity) {
            length_ = 0;
            return TooLong(Capacity - 1);
        }
        std::memcpy(secret_, value, length_);
        return "";
    }
    if (StartsWith(source_, "file:")) {
        return FromFile(source_.substr(5));
    }
    if (source_ == "stdin") {
        return ReadLine(STDIN_FILENO, "standard input");
    }
    return ReadLine(Descriptor(source_.substr(3)), source_.c_str());
}

// Reads up to the first line feed, which is not part of it, or the end.
std::string Passphrase::ReadLine(int fd, const char* from) {
    length_ = 0;
    for (char c = 0;;) {
        ssize_t count = read(fd, &c, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return fmt::format("Error: cannot read the passphrase of {} from {}: {}\n",
                               PrintablePath(what_), from, SystemError(errno));
        }
        if (count == 0 || c == '\n') {
            return "";
        }
        if (length_ + 1 >= Capacity) {
            Wipe();
            return TooLong(Capacity - 1);
        }
        secret_[length_++] = c;
    }
}

// Judged as a private key file is: a passphrase that others can read protects nothing.
std::string Passphrase::FromFile(const std::string& path) {
    FileRead file = ReadTrustedFile(path, Exposure::Read, FinalLink::Followed, Capacity - 1);
    std::string error;
    if (!file.refusal.empty()) {
        error = fmt::format("Error: refusing passphrase file {}: {}\n", PrintablePath(path),
                            file.refusal);
    } else if (file.error == EFBIG) {
        error = TooLong(Capacity - 1);
    } else if (file.error != 0) {
        error = fmt::format("Error: cannot read passphrase file {}: {}\n", PrintablePath(path),
                            SystemError(file.error));
    } else {
        length_ = std::min(file.bytes.find('\n'), file.bytes.size());
        std::memcpy(secret_, file.bytes.data(), length_);
    }
    OPENSSL_cleanse(file.bytes.data(), file.bytes.size());
    return error;
}

// Asked for on the terminal without echo; a program run at boot or from a script has none,
// and is told how to give it instead.
std::string Passphrase::FromTerminal() {
    termios saved{};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        return fmt::format("Error: key {} needs a passphrase and there is no terminal to ask: {}\n",
                           PrintablePath(what_), HowToGiveIt);
    }
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string prompt = fmt::format("Passphrase for {}: ", PrintablePath(what_));
    ssize_t ignored = write(STDERR_FILENO, prompt.data(), prompt.size());
    std::string error = ReadLine(STDIN_FILENO, "the terminal");
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    return error;
}
