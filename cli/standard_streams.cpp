#include "cli/standard_streams.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <system_error>

namespace {

// errno of the first failed write to standard output, 0 while none failed.
std::atomic<int> OutputError{0};

void WriteOutput(const char* text, size_t size) {
    while (size > 0) {
        ssize_t written = write(STDOUT_FILENO, text, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            int none = 0;
            OutputError.compare_exchange_strong(none, errno);
            return;
        }
        text += written;
        size -= static_cast<size_t>(written);
    }
}

// std::cout without a buffer: every insertion is written at once and whole, so workers' lines
// stay whole without a lock of the program's own, and a failure is seen with its errno. The
// stream itself never fails, so that the command's work goes on to its end.
class StandardOutputBuffer : public std::streambuf {
  protected:
    std::streamsize xsputn(const char* text, std::streamsize size) override {
        WriteOutput(text, static_cast<size_t>(size));
        return size;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            char character = traits_type::to_char_type(c);
            WriteOutput(&character, 1);
        }
        return traits_type::not_eof(c);
    }
};

}  // namespace

void PrepareStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // Opened for reading only, so that writes to a closed output fail and are reported.
        // The lower descriptors are taken, so this one is `fd`.
        if (open("/dev/null", O_RDONLY) < 0) {
            std::cerr << fmt::format("Error: cannot open /dev/null: {}\n",
                                     std::generic_category().message(errno));
            std::exit(1);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A file size limit (RLIMIT_FSIZE, as a login class sets) would otherwise end the process
    // in the middle of a write, leaving a temporary file and no word: the write fails with
    // EFBIG instead, and is reported like a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    // Never destroyed: std::cout may be written until the very end of the process.
    static StandardOutputBuffer* output = new StandardOutputBuffer;
    std::cout.rdbuf(output);
}

bool StandardOutputFailed() {
    return OutputError.load() != 0;
}

int FinishStandardOutput(int status, int failed) {
    int error = OutputError.load();
    if (error == 0) {
        return status;
    }
    std::cerr << fmt::format("Error: cannot write standard output: {}\n",
                             std::generic_category().message(error));
    return failed;
}
