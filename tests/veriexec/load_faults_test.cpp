// Faults met by a load: the process killed in the middle of a large manifest, two loads at
// once, a manifest of garbage, of a huge line and of many lines. Each test checks what the
// emulated facility's table holds afterwards, entry by entry.
#include <fcntl.h>
#include <fmt/core.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>

#include "support/test_support.h"
#include "veriexec/device.h"

namespace {

class LoadFaultsTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
    }

    // Makes `count` executable files in `directory`, named so that file order is path order,
    // and a manifest giving each a fingerprint of its own. Returns the manifest's path.
    std::string MakeManifest(const std::string& directory, int count) {
        mkdir(Path(directory).c_str(), 0755);
        std::string manifest;
        std::string target;
        for (int i = 0; i < count; ++i) {
            std::string path = File(directory, i);
            // Links to a few files: much quicker to make than as many files.
            if (i % 10000 == 0) {
                WriteFile(target = path, "", 0755);
            } else {
                EXPECT_EQ(link(target.c_str(), path.c_str()), 0) << path;
            }
            manifest += path + " sha512=" + Fingerprint(i) + "\n";
        }
        WriteFile(Path(directory + ".manifest"), manifest);
        return Path(directory + ".manifest");
    }

    std::string File(const std::string& directory, int index) const {
        return Path(fmt::format("{}/f{:06d}", directory, index));
    }

    // 128 hexadecimal digits that differ for every index.
    static std::string Fingerprint(int index) {
        std::string digits;
        for (int i = 0; i < 8; ++i) {
            digits += fmt::format("{:016x}", (index + 1) * 0x9e3779b97f4a7c15ULL + i);
        }
        return digits;
    }

    // The table line of `show` for an entry sent from a line of MakeManifest.
    static std::string EntryLine(const std::string& path, int index) {
        return "entry\t0x00\tsha512\t" + Fingerprint(index) + "\t" + path + "\n";
    }

    // Checks that entries[first...] are the `count` entries of MakeManifest(directory, ...).
    void ExpectEntries(const std::vector<std::string>& entries, size_t first,
                       const std::string& directory, size_t count) const {
        for (size_t i = 0; i < count; ++i) {
            ASSERT_EQ(entries[first + i], EntryLine(File(directory, i), i))
                << directory << " " << i;
        }
    }

    // The entry lines of `show`, one per loaded path in path order.
    std::vector<std::string> Entries() {
        std::vector<std::string> entries;
        std::string show = Show();
        for (size_t at = show.find("entry\t"); at != std::string::npos;
             at = show.find("entry\t", at + 1)) {
            entries.push_back(show.substr(at, show.find('\n', at) + 1 - at));
        }
        return entries;
    }
};

int WaitForExit(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(LoadFaultsTest, LoadKilledMidwayLeavesAPrefixOfWholeEntriesThatALoadAgainCompletes) {
    constexpr int Count = 30000;
    std::string manifest = MakeManifest("files", Count);
    pid_t load = StartSignChild({"load", manifest}, Path("killed.out"));
    // The facility's own log of records shows how far the load has come.
    struct stat log {};
    while (stat((facility_ + "/entries").c_str(), &log) == 0 &&
           log.st_size < 1000 * static_cast<off_t>(sizeof(ManifestEntry))) {
        usleep(200);
    }
    kill(load, SIGKILL);
    EXPECT_EQ(WaitForExit(load), 128 + SIGKILL);

    std::vector<std::string> entries = Entries();
    ASSERT_GE(entries.size(), 1000u);
    ASSERT_LT(entries.size(), static_cast<size_t>(Count)) << "the load ended before the kill";
    ExpectEntries(entries, 0, "files", entries.size());
    ProcessResult status = RunSign({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, "Veriexec state: 01\n  LOADED\n");

    ProcessResult again = RunSign({"load", manifest});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(again.out, fmt::format("Loaded {} entries (0 errors) from {}\n", Count, manifest));
    entries = Entries();
    ASSERT_EQ(entries.size(), static_cast<size_t>(Count));
    ExpectEntries(entries, 0, "files", Count);
}

TEST_F(LoadFaultsTest, TwoLoadsAtOnceBothLoadEveryEntryWhole) {
    constexpr int Count = 5000;
    std::string first = MakeManifest("a", Count);
    std::string second = MakeManifest("b", Count);
    pid_t loads[] = {StartSignChild({"load", first}, Path("a.out")),
                     StartSignChild({"load", second}, Path("b.out"))};
    EXPECT_EQ(WaitForExit(loads[0]), 0);
    EXPECT_EQ(WaitForExit(loads[1]), 0);
    EXPECT_EQ(ReadFile(Path("a.out")),
              fmt::format("Loaded {} entries (0 errors) from {}\n", Count, first));
    EXPECT_EQ(ReadFile(Path("b.out")),
              fmt::format("Loaded {} entries (0 errors) from {}\n", Count, second));
    std::vector<std::string> entries = Entries();
    ASSERT_EQ(entries.size(), 2u * Count);
    ExpectEntries(entries, 0, "a", Count);
    ExpectEntries(entries, Count, "b", Count);
}

// `size` random bytes, none of them a line feed nor one of `excluded`.
std::string Garbage(std::mt19937& random, size_t size, const std::string& excluded) {
    std::string bytes;
    while (bytes.size() < size) {
        char byte = static_cast<char>(random());
        if (byte != '\n' && excluded.find(byte) == std::string::npos) {
            bytes += byte;
        }
    }
    return bytes;
}

TEST_F(LoadFaultsTest, GarbageHugeLinesAndAHundredThousandLinesAreWarnedLineByLine) {
    constexpr int Files = 1000;
    constexpr int Lines = 100000;
    MakeManifest("files", Files);
    std::mt19937 random(7);
    std::string path = File("files", 0);
    std::map<int, std::string> bad = {
        {7, Garbage(random, 4000, "") + std::string(1, '\0') + Garbage(random, 100, "")},
        {50000, "/" + std::string(16 << 20, 'p') + " sha512=00"},
        {77777, "\xff\xfe" + Garbage(random, 10000, std::string(" \0", 2))},
        {88888, path + " " + Garbage(random, 10000, std::string("=\0", 2))},
        {99999, path + " sha512=\xff" + Garbage(random, 126, std::string(" \0", 2)) + "0"},
    };
    std::string manifest;
    std::map<int, int> latest;  // file -> the last line that loads it
    for (int line = 1; line <= Lines; ++line) {
        if (auto found = bad.find(line); found != bad.end()) {
            manifest += found->second + "\n";
            continue;
        }
        int file = line % Files;
        manifest += File("files", file) + " sha512=" + Fingerprint(line);
        // The last line ends without a line feed.
        manifest += line < Lines ? "\n" : "";
        latest[file] = line;
    }
    WriteFile(Path("garbage.manifest"), manifest);
    ProcessResult result = RunSign({"load", Path("garbage.manifest")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "pelmor-sign: line 7: bad format\n"
              "pelmor-sign: line 50000: path too long\n"
              "pelmor-sign: line 77777: bad format\n"
              "pelmor-sign: line 88888: missing '=' in attribute\n"
              "pelmor-sign: line 99999: bad fingerprint\n");
    EXPECT_EQ(result.out, fmt::format("Loaded {} entries (5 errors) from {}\n", Lines - 5,
                                      Path("garbage.manifest")));
    std::vector<std::string> entries = Entries();
    ASSERT_EQ(entries.size(), static_cast<size_t>(Files));
    for (int file = 0; file < Files; ++file) {
        EXPECT_EQ(entries[file], EntryLine(File("files", file), latest[file])) << file;
    }
}

}  // namespace
