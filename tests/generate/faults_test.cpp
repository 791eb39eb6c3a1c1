// Faults met by a generate run: files that change while they are hashed, trees too deep or too
// wide for a naive walk, files too large for 32-bit counts, configurations built to break a
// parser. Each test checks the messages, the exit status and the manifest that survives.
#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "support/test_support.h"

namespace {

using GenerateFaultsTest = ImageTest;

constexpr size_t PageSize = 4096;

// Bytes `from` to `to` (multiples of 8) of stream `stream`: every stream is a different,
// endless run of bytes.
std::string StreamBytes(uint64_t stream, uint64_t from, uint64_t to) {
    std::string bytes(to - from, '\0');
    for (uint64_t offset = from; offset < to; offset += 8) {
        uint64_t word = (stream << 40) + offset / 8;
        word = (word ^ (word >> 31)) * 0x9e3779b97f4a7c15ULL;
        word ^= word >> 29;
        std::memcpy(&bytes[offset - from], &word, 8);
    }
    return bytes;
}

// What the writer shares with the test: the digest of every content that it gives the file,
// logged before the file gets it.
struct WriterLog {
    static constexpr int MaxContents = 65536;
    std::atomic<int> operations;
    std::atomic<int> contents;
    unsigned char digests[MaxContents][64];
};

// Logs `content`, and each content that the file passes through while `grown` pages are
// appended to it.
void LogContent(WriterLog& log, const std::string& content, size_t grown = 0) {
    using Context = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)>;
    Context context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha512(), nullptr);
    size_t at = content.size() - grown * PageSize;
    EVP_DigestUpdate(context.get(), content.data(), at);
    for (;; at += PageSize) {
        Context copy(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        EVP_MD_CTX_copy_ex(copy.get(), context.get());
        EVP_DigestFinal_ex(copy.get(), log.digests[log.contents], nullptr);
        ++log.contents;
        if (at == content.size()) {
            return;
        }
        EVP_DigestUpdate(context.get(), content.data() + at, PageSize);
    }
}

// Writes `bytes` at `offset` of the file at `path` in one call, or ends the writer.
void WriteAt(const std::string& path, std::string_view bytes, size_t offset) {
    int fd = open(path.c_str(), O_WRONLY);
    if (pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(bytes.size())) {
        _exit(1);
    }
    close(fd);
}

// Keeps changing the file at `path` until it is killed: grows it, rewrites a page of it in place,
// shrinks it and replaces it with a new file, over and over. Each change is one system call, so
// the file only ever holds logged contents. A shrink cuts off what a reader of the file may be
// reading, after a rewrite that made the shorter content one that the file never held.
[[noreturn]] void RunWriter(const std::string& path, const std::string& spare, WriterLog& log) {
    constexpr size_t Half = 128 * PageSize;
    std::string content = StreamBytes(0, 0, Half);
    LogContent(log, content);
    WriteFile(path, content);
    for (uint64_t step = 1; log.contents + Half / PageSize < WriterLog::MaxContents; ++step) {
        switch (step % 4) {
            case 0:  // grows
                content += StreamBytes(step, Half, 2 * Half);
                LogContent(log, content, Half / PageSize);
                WriteAt(path, std::string_view(content).substr(Half), Half);
                break;
            case 1: {  // a page is rewritten in place
                size_t at = step % (Half / PageSize) * PageSize;
                content.replace(at, PageSize, StreamBytes(step, at, at + PageSize));
                LogContent(log, content);
                WriteAt(path, std::string_view(content).substr(at, PageSize), at);
                break;
            }
            case 2:  // shrinks
                content.resize(Half);
                LogContent(log, content);
                std::filesystem::resize_file(path, Half);
                break;
            case 3:  // is replaced
                content = StreamBytes(step, 0, Half);
                LogContent(log, content);
                WriteFile(spare, content);
                std::filesystem::rename(spare, path);
                break;
        }
        ++log.operations;
        usleep(200);
    }
    // The log is full: the file stays as it is until the end.
    for (;;) {
        pause();
    }
}

TEST_F(GenerateFaultsTest, FileChangingWhileHashedGetsTheDigestOfAWholeContentOrIsReported) {
    std::filesystem::create_directories(Image("/changing"));
    void* mapping =
        mmap(nullptr, sizeof(WriterLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    std::unique_ptr<WriterLog, void (*)(WriterLog*)> shared(
        new (mapping) WriterLog(), [](WriterLog* log) { munmap(log, sizeof(WriterLog)); });
    WriterLog& log = *shared;
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        RunWriter(Image("/changing/file"), Image("/changing/spare"), log);
    }
    std::shared_ptr<void> stopWriter(nullptr, [writer](void*) {
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
    });
    while (log.operations < 4) {
        ASSERT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the writer ended early";
        usleep(1000);
    }
    // Each spelling of the path is a job of its own, so the file is hashed once per spelling.
    std::vector<std::string> spellings;
    std::vector<std::string> arguments = {"-o", Path("m"), "-j", "2"};
    for (std::string dots; spellings.size() < 80; dots += "./") {
        spellings.push_back("/changing/" + dots + "file");
        arguments.insert(arguments.end(), {"-f", spellings.back()});
    }
    ProcessResult result = Generate(arguments);
    EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the writer stopped during the run";
    stopWriter.reset();

    std::set<std::string> logged;
    for (int i = 0; i < log.contents; ++i) {
        logged.insert(fmt::format("{:02x}", fmt::join(log.digests[i], log.digests[i] + 64, "")));
    }
    // Every spelling names the same file of the image: each gives a line or one report.
    const std::string report =
        "Error reading " + Image("/changing/file") + ": file changed while being read\n";
    std::vector<std::string> reports = Lines(result.err);
    size_t reported = static_cast<size_t>(std::count(reports.begin(), reports.end(), report));
    EXPECT_EQ(reported, reports.size()) << result.err;
    std::vector<std::string> lines = Lines(ReadFile(Path("m")));
    EXPECT_EQ(lines.size() + reported, spellings.size());
    for (const std::string& line : lines) {
        size_t space = line.find(' ');
        EXPECT_EQ(std::count(spellings.begin(), spellings.end(), line.substr(0, space)), 1) << line;
        EXPECT_EQ(logged.count(line.substr(space + 8, 128)), 1u)
            << line << ": digest of bytes never whole";
    }
    EXPECT_EQ(result.status, reported > 0 ? 1 : 0);
}

TEST_F(GenerateFaultsTest,
       TreeTwoThousandLevelsDeepAndDirectoryOfAHundredThousandEntriesAreWalkedWhole) {
    std::vector<std::string> expected;
    std::string deep = "/deep";
    ASSERT_EQ(mkdir(Image(deep).c_str(), 0755), 0);
    for (int level = 1; level <= 2000; ++level) {
        deep += "/d";
        ASSERT_EQ(mkdir(Image(deep).c_str(), 0755), 0) << level;
        if (level == 1 || level == 100 || level == 400) {
            MakeElf(deep + "/elf");
            expected.push_back(ExpectedLine(deep + "/elf"));
        }
    }
    // Entries are links to three files (ext4 takes 65,000 links to a file), since that is much
    // quicker than making files. All but one in a hundred have names that the path filter
    // passes over: asking libmagic about each would take minutes in a sanitizer build.
    MakeScript("/script");
    WriteFile(Image("/empty0"), "");
    WriteFile(Image("/empty1"), "");
    std::filesystem::create_directory(Image("/wide"));
    std::string digest = ExpectedLine("/script").substr(std::string("/script").size());
    for (int i = 0; i < 100000; ++i) {
        bool chosen = i % 100 == 0;
        std::string entry = fmt::format("/wide/{:06d}{}", i, chosen ? "" : ".debug");
        std::string target = chosen ? "/script" : "/empty" + std::to_string(i % 2);
        ASSERT_EQ(link(Image(target).c_str(), Image(entry).c_str()), 0) << entry;
        if (chosen) {
            expected.push_back(entry + digest);
        }
    }
    rlimit files{0, 0};
    getrlimit(RLIMIT_NOFILE, &files);
    rlimit usual{std::min<rlim_t>(files.rlim_cur, 1024), files.rlim_max};
    setrlimit(RLIMIT_NOFILE, &usual);
    ProcessResult result = Generate({"-d", "/deep", "-d", "/wide", "-o", Path("m"), "-j", "2"});
    setrlimit(RLIMIT_NOFILE, &files);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::vector<std::string> lines = Lines(ReadFile(Path("m")));
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    EXPECT_NE(result.out.find("] [ 2003] [    3] [   0.15 %] OK: /deep\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("] [100000] [ 1000] [   1.00 %] OK: /wide\n"), std::string::npos)
        << result.out;
}

TEST_F(GenerateFaultsTest, SparseFileLargerThanFourGibibytesGetsTheDigestOfSha512sum) {
    // Mostly a hole, so it takes no room on the disk, with bytes on both sides of 4 GiB.
    constexpr off_t FourGibibytes = off_t{1} << 32;
    int fd = open(Image("/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, FourGibibytes + 5000), 0);
    EXPECT_EQ(pwrite(fd, "head", 4, 0), 4);
    EXPECT_EQ(pwrite(fd, "across 4 GiB", 12, FourGibibytes - 6), 12);
    close(fd);
    ProcessResult result = Generate({"-f", "/sparse", "-o", Path("m")});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReadFile(Path("m")), ExpectedLine("/sparse"));
}

TEST_F(GenerateFaultsTest, ConfigurationBuiltToBreakTheReaderGivesAnErrorLineOrIsRead) {
    MakeElf("/tree/elf");
    MakeElf("/configured/elf");
    const std::string dirs = R"("dirs": ["/configured"])";
    const std::string opened(100000, '[');
    const std::string closed(100000, ']');
    std::string objects;
    for (int i = 0; i < 100000; ++i) {
        objects += R"({"a":)";
    }
    struct Case {
        std::string text;
        std::string err;  // none when the file is read
    } cases[] = {
        {R"({"dirs": )" + opened + closed + "}",
         "Config file error, [json.exception.type_error.302] type must be string, but is array\n"},
        {opened + closed,
         "Config file error, [json.exception.type_error.305] cannot use operator[] with a string "
         "argument with array\n"},
        {R"({"dirs": )" + opened,
         "Config file error, [json.exception.parse_error.101] parse error at line 1, column "
         "100010: syntax error while parsing value - unexpected end of input; expected '[', '{', "
         "or a literal\n"},
        {"{" + dirs + R"(, "nested": )" + objects + "1" + std::string(100001, '}'), ""},
        {R"({"comment": ")" + std::string(100000000, 'x') + R"(", )" + dirs + "}", ""},
    };
    for (const Case& c : cases) {
        WriteFile(Path("config.json"), c.text);
        ProcessResult result =
            Generate({"-c", Path("config.json"), "-d", "/tree", "-o", Path("m")});
        std::string start = c.text.substr(0, 20);
        EXPECT_EQ(result.status, c.err.empty() ? 0 : 1) << start;
        EXPECT_EQ(result.err, c.err) << start;
        EXPECT_EQ(ReadFile(Path("m")), (c.err.empty() ? ExpectedLine("/configured/elf") : "") +
                                           ExpectedLine("/tree/elf"))
            << start;
    }
}

}  // namespace
