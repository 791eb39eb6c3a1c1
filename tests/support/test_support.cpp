#include "support/test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fmt/core.h>

#include "cli/entry.h"
#include "emulator/commands.h"
#include "generate/options.h"

namespace fs = std::filesystem;

namespace {

// In a child: gives descriptor `fd` what `stream` asks for; `file` captures it.
void Connect(ChildStream stream, int file, int fd) {
    int broken[2];
    if (stream == ChildStream::BrokenPipe && pipe(broken) == 0) {
        close(broken[0]);
        file = broken[1];
    }
    if (stream == ChildStream::Closed) {
        close(fd);
    } else {
        dup2(file, fd);
    }
}

// Forks a child that gets `options`, with the files `out` and `err` to capture its standard
// output and error, and ends with the status `body` returns.
template <typename Body>
pid_t StartChild(const ChildOptions& options, int out, int err, Body body) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        Connect(options.standardOutput, out, 1);
        Connect(options.standardError, err, 2);
        // The test process ignores SIGPIPE; the program meets the default, as from a shell.
        signal(SIGPIPE, SIG_DFL);
        signal(SIGXFSZ, SIG_DFL);
        uid_t user = options.unprivileged && geteuid() == 0 ? UnprivilegedUser : options.user;
        rlim_t mapped = 0;
        std::ifstream("/proc/self/statm") >> mapped;  // in pages
        auto limit = [](auto resource, rlim_t value, rlim_t base = 0) {
            rlimit bound{base + value, base + value};
            return value == RLIM_INFINITY || setrlimit(resource, &bound) == 0;
        };
        if (!limit(RLIMIT_NPROC, options.maxProcesses) ||
            !limit(RLIMIT_FSIZE, options.maxFileSize) ||
            !limit(RLIMIT_AS, options.addressSpaceGrowth, mapped * sysconf(_SC_PAGESIZE)) ||
            (user != static_cast<uid_t>(-1) &&
             (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0))) {
            _exit(126);
        }
        _exit(body());
    }
    return child;
}

template <typename Body>
ProcessResult RunChild(const ChildOptions& options, Body body) {
    char out[] = "/tmp/pelmor-out.XXXXXX", err[] = "/tmp/pelmor-err.XXXXXX";
    int outFd = mkstemp(out), errFd = mkstemp(err);
    ProcessResult result{WaitForExit(StartChild(options, outFd, errFd, body)), ReadFile(out),
                         ReadFile(err)};
    close(outFd);
    close(errFd);
    unlink(out);
    unlink(err);
    return result;
}

// The argument vector of `words`, which must outlive it.
std::vector<char*> Argv(std::vector<std::string>& words) {
    std::vector<char*> argv(words.size() + 1, nullptr);
    std::transform(words.begin(), words.end(), argv.begin(),
                   [](std::string& w) { return w.data(); });
    return argv;
}

// Without `audit`, the audit lines go nowhere.
int RunEntry(std::vector<std::string> words, AuditLog* audit = nullptr) {
    CollectedAudit ignored;
    // warn(3) names the program as the system knows it, which in here is the test binary.
    program_invocation_short_name = const_cast<char*>("pelmor-sign");
    words.insert(words.begin(), "pelmor-sign");
    return Entry(
        static_cast<int>(words.size()), Argv(words).data(),
        {DefaultConfigPath, (fs::current_path() / TrustedKeyFile).native(),
         (fs::current_path() / SerialFile).native(), (fs::current_path() / KeysFileName).native(),
         (fs::current_path() / ManifestFileName).native()},
        audit ? *audit : ignored);
}

template <typename Body>
ProcessResult Captured(Body body) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = body();
    std::fflush(nullptr);
    return {status, ::testing::internal::GetCapturedStdout(),
            ::testing::internal::GetCapturedStderr()};
}

}  // namespace

void PrintTo(const ProcessResult& result, std::ostream* stream) {
    *stream << "status " << result.status << ", out " << ::testing::PrintToString(result.out)
            << ", err " << ::testing::PrintToString(result.err);
}

ProcessResult RunSign(const std::vector<std::string>& arguments, AuditLog* audit) {
    return Captured([&] { return RunEntry(arguments, audit); });
}

ProcessResult RunSignChild(const std::vector<std::string>& arguments, const ChildOptions& options) {
    return RunChild(options, [&arguments] { return RunEntry(arguments); });
}

pid_t StartSignChild(const std::vector<std::string>& arguments, const std::string& output) {
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t child = StartChild({}, fd, fd, [&arguments] { return RunEntry(arguments); });
    close(fd);
    return child;
}

int WaitForExit(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProcessResult RunEmulator(const std::vector<std::string>& arguments) {
    return Captured([&arguments] { return RunEmulatorCommand(arguments); });
}

ProcessResult RunProgram(std::vector<std::string> argv) {
    return RunChild({}, [&argv] {
        execvp(argv[0].c_str(), Argv(argv).data());
        return 127;
    });
}

std::string Shell(const std::string& command) {
    ProcessResult result = RunProgram({"sh", "-c", command});
    EXPECT_EQ(result.status, 0) << command << "\n" << result.out << result.err;
    return result.out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode) {
    std::error_code noParent;  // a name in the current directory
    fs::create_directories(fs::path(path).parent_path(), noParent);
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

std::vector<std::string> Words(const std::string& text) {
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), {}};
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Should sha512sum fail, the line lacks a digest, and the test that expects it fails.
std::string ManifestLine(const std::string& path, const std::string& hostPath) {
    return path + " sha512=" + RunProgram({"sha512sum", hostPath}).out.substr(0, 128) + "\n";
}

std::string MakeKeyPair(const std::string& prefix, const std::string& options) {
    Shell(
        fmt::format("openssl genpkey {1} -out {0}.key && chmod 400 {0}.key && openssl pkey -in "
                    "{0}.key -pubout -out {0}.pub",
                    prefix, options));
    return FullKeyId(prefix).substr(0, 16);
}

std::string FullKeyId(const std::string& prefix) {
    return Shell("openssl pkey -pubin -in " + prefix + ".pub -outform DER | sha256sum")
        .substr(0, 64);
}

std::string KeyLine(const std::string& prefix) {
    return "key " + FullKeyId(prefix) + " " +
           Shell("openssl pkey -pubin -in " + prefix + ".pub -outform DER | base64 -w0");
}

std::string TrustedProgramLine() {
    std::string program = fs::read_symlink("/proc/self/exe");
    std::string line = ManifestLine(program, program);
    return line.insert(line.size() - 1, " trusted");
}

void TempDirTest::SetUp() {
    char pattern[] = "/tmp/pelmor-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    dir_ = pattern;
    // Runs as another user must be able to reach files inside.
    chmod(dir_.c_str(), 0755);
    setenv("PELMOR_VERIEXEC_EMULATOR", Path("facility").c_str(), 1);
    previousDirectory_ = fs::current_path();
    fs::current_path(dir_);
}

void TempDirTest::TearDown() {
    fs::current_path(previousDirectory_);
    // Directories that a test made unreadable are opened again to be removed; chmod -R passes
    // links over, so nothing outside is touched.
    RunProgram({"sh", "-c", "chmod -R u+rwx \"$0\" 2>/dev/null; rm -rf \"$0\"", dir_});
    unsetenv("PELMOR_VERIEXEC_EMULATOR");
}

void TempDirTest::BootFacility(std::vector<std::string> extra) {
    extra.insert(extra.begin(), "boot");
    ASSERT_EQ(RunEmulator(extra).status, 0);
}

std::string TempDirTest::Entries() {
    std::string show = RunEmulator({"show"}).out;
    return show.substr(std::min(show.find("entry\t"), show.size()));
}

void ImageTest::SetUp() {
    TempDirTest::SetUp();
    root_ = Path("image");
    fs::create_directory(root_);
    BootFacility();
}

ProcessResult ImageTest::Generate(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"generate", "-R", root_});
    return RunSign(arguments);
}
