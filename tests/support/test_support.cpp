#include "support/test_support.h"

#include "support/hidden_system.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// In the forked child: gives descriptor `fd` what `stream` asks for; `captured` is the
// writing end of the pipe that the parent reads.
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

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    HiddenSystemPlan hidden;
    if (options.hideSystemDirectories) {
        hidden = PlanHiddenSystem(argv[0], options.replacedDirectories);
    }
    // Opened while still privileged: the other user may not be able to reach the program
    // through its path (a checkout inside a folder of mode 0700), but can run it from here.
    int program = open(argv[0].c_str(), O_RDONLY | O_CLOEXEC);
    pid_t child = fork();
    if (child == 0) {
        if (options.hideSystemDirectories && !EnterHiddenSystem(hidden)) {
            _exit(125);
        }
        int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(input, 0);
        ConnectChildStream(options.standardOutput, out[1], 1);
        ConnectChildStream(options.standardError, err[1], 2);
        // The test process ignores SIGPIPE; the program must meet the default, as from a shell.
        signal(SIGPIPE, SIG_DFL);
        for (const std::string& entry : options.environment) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        rlimit processes{options.maxProcesses, options.maxProcesses};
        if (options.maxProcesses != RLIM_INFINITY && setrlimit(RLIMIT_NPROC, &processes) != 0) {
            _exit(126);
        }
        if (options.openFiles.rlim_max != 0 && setrlimit(RLIMIT_NOFILE, &options.openFiles) != 0) {
            _exit(126);
        }
        if (options.user != static_cast<uid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(options.user) != 0 ||
             setuid(options.user) != 0)) {
            _exit(126);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        fexecve(program, args.data(), environ);
        _exit(127);
    }
    if (program >= 0) {
        close(program);
    }
    close(out[1]);
    close(err[1]);

    ProcessResult result;
    signal(SIGPIPE, SIG_IGN);
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

ProcessOptions HiddenSystem() {
    ProcessOptions options;
    options.hideSystemDirectories = true;
    return options;
}

ProcessResult RunSign(const std::vector<std::string>& arguments, const ProcessOptions& options) {
    std::vector<std::string> argv{PELMOR_SIGN_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv, options);
}

ProcessResult RunEmulator(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{VERIEXEC_EMULATOR_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

void TempDirTest::SetUp() {
    char pattern[] = "/tmp/pelmor-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    dir_ = pattern;
    // Unprivileged runs in some tests must be able to reach files inside.
    chmod(dir_.c_str(), 0755);
    facility_ = Path("facility");
    setenv("PELMOR_VERIEXEC_EMULATOR", facility_.c_str(), 1);
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
}

void TempDirTest::TearDown() {
    std::filesystem::current_path(previousDirectory_);
    std::error_code ignored;
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
