#include "support/test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/entry.h"
#include "emulator/commands.h"

namespace {

// In a child: gives descriptor `fd` what `stream` asks for; `captured` is the writing end of
// the pipe that the parent reads.
void ConnectChildStream(ChildStream stream, int captured, int fd) {
    if (stream == ChildStream::Captured) {
        dup2(captured, fd);
        return;
    }
    int broken[2];
    if (stream == ChildStream::BrokenPipe && pipe(broken) == 0) {
        close(broken[0]);
        dup2(broken[1], fd);
        close(broken[1]);
        return;
    }
    close(fd);
}

// Forks; the child gets `options` and runs `body`, whose result is its exit status. Returns
// what the child printed and how it ended.
template <typename Body>
ProcessResult RunChild(const ChildOptions& options, Body body) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(input, 0);
        ConnectChildStream(options.standardOutput, out[1], 1);
        ConnectChildStream(options.standardError, err[1], 2);
        // The test process ignores SIGPIPE; the program must meet the default, as from a shell.
        signal(SIGPIPE, SIG_DFL);
        uid_t user = options.user;
        if (options.unprivileged && geteuid() == 0) {
            user = UnprivilegedUser;
        }
        rlimit fileSize{options.maxFileSize, options.maxFileSize};
        if (options.maxFileSize != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &fileSize);
        }
        rlimit processes{options.maxProcesses, options.maxProcesses};
        if ((options.maxProcesses != RLIM_INFINITY && setrlimit(RLIMIT_NPROC, &processes) != 0) ||
            (user != static_cast<uid_t>(-1) &&
             (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0))) {
            _exit(126);
        }
        _exit(body());
    }
    close(out[1]);
    close(err[1]);
    ProcessResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents) {
                char buffer[65536];
                ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
                if (count > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(count));
                } else if (count == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                }
            }
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

int RunEntry(const std::vector<std::string>& arguments) {
    // warn(3) names the program as the system knows it, which in here is the test binary.
    program_invocation_short_name = const_cast<char*>("pelmor-sign");
    std::vector<std::string> words{"pelmor-sign"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return Entry(static_cast<int>(words.size()), argv.data());
}

template <typename Body>
ProcessResult Captured(Body body) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ProcessResult result;
    result.status = body();
    std::fflush(nullptr);
    result.out = ::testing::internal::GetCapturedStdout();
    result.err = ::testing::internal::GetCapturedStderr();
    return result;
}

}  // namespace

ProcessResult RunSign(const std::vector<std::string>& arguments) {
    return Captured([&arguments] { return RunEntry(arguments); });
}

ProcessResult RunSignChild(const std::vector<std::string>& arguments, const ChildOptions& options) {
    return RunChild(options, [&arguments] { return RunEntry(arguments); });
}

pid_t StartSignChild(const std::vector<std::string>& arguments, const std::string& output) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        _exit(RunEntry(arguments));
    }
    return child;
}

ProcessResult RunEmulator(const std::vector<std::string>& arguments) {
    return Captured([&arguments] { return RunEmulatorCommand(arguments); });
}

ProcessResult RunProgram(const std::vector<std::string>& argv) {
    return RunChild({}, [&argv] {
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        return 127;
    });
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line + "\n");
    }
    return lines;
}

std::string ManifestLine(const std::string& path, const std::string& hostPath) {
    ProcessResult sum = RunProgram({"sha512sum", hostPath});
    EXPECT_EQ(sum.status, 0) << sum.err;
    return path + " sha512=" + sum.out.substr(0, 128) + "\n";
}

void TempDirTest::SetUp() {
    char pattern[] = "/tmp/pelmor-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    dir_ = pattern;
    // Runs as another user must be able to reach files inside.
    chmod(dir_.c_str(), 0755);
    facility_ = Path("facility");
    setenv("PELMOR_VERIEXEC_EMULATOR", facility_.c_str(), 1);
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
}

void TempDirTest::TearDown() {
    std::filesystem::current_path(previousDirectory_);
    // Directories a test made unreadable are opened again so that they can be removed.
    std::error_code ignored;
    for (auto entry = std::filesystem::recursive_directory_iterator(
             dir_, std::filesystem::directory_options::skip_permission_denied, ignored);
         entry != std::filesystem::recursive_directory_iterator(); entry.increment(ignored)) {
        if (entry->is_directory(ignored) && !entry->is_symlink(ignored)) {
            chmod(entry->path().c_str(), 0755);
        }
    }
    chmod(dir_.c_str(), 0755);
    std::filesystem::remove_all(dir_, ignored);
    unsetenv("PELMOR_VERIEXEC_EMULATOR");
}

void TempDirTest::BootFacility(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{"boot"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    ProcessResult boot = RunEmulator(arguments);
    ASSERT_EQ(boot.status, 0) << boot.err;
}

std::string TempDirTest::Show() {
    ProcessResult show = RunEmulator({"show"});
    EXPECT_EQ(show.status, 0) << show.err;
    return show.out;
}

void ImageTest::SetUp() {
    TempDirTest::SetUp();
    root_ = Path("image");
    std::filesystem::create_directory(root_);
    BootFacility();
}

ProcessResult ImageTest::Generate(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"generate", "-R", root_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return RunSign(all);
}

void ImageTest::MakeElf(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(Image(path)).parent_path());
    std::filesystem::copy_file("/bin/true", Image(path),
                               std::filesystem::copy_options::overwrite_existing);
    chmod(Image(path).c_str(), 0755);
}

void ImageTest::MakeScript(const std::string& path) {
    WriteFile(Image(path), "#!/bin/sh\necho " + path + "\n", 0755);
}

void ImageTest::MakeText(const std::string& path) {
    WriteFile(Image(path), "Nothing to execute here, only some words.\n", 0644);
}
