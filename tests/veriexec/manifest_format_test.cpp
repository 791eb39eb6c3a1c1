#include "veriexec/manifest_format.h"

#include <cstring>

#include "support/test_support.h"

namespace {

TEST(ManifestFormatTest, EntryLineFillsTheWholeRecordAndAGeneratedLineReadsBackAsWritten) {
    std::vector<std::string> warnings;
    for (const auto& [line, flags, type, path, fingerprint] :
         {std::tuple<std::string, uint8_t, const char*, std::string, std::string>{
              "/s = trusted\t no_ptrace indirect trusted", Indirect | NoPtrace | Trusted, "", "/s",
              ""},
          {"/s abcdefghijklmnopqrstuvwxyz=00Ff", 0, "abcdefghijklmno", "/s",
           std::string("\0\xff", 2)},
          // Only a '#' in the first column starts a comment.
          {" #/bin/sh sha512=01", 0, "#/bin/sh sha512", "", "\x01"}}) {
        ManifestEntry entry, expected;
        std::memset(&entry, 0xff, sizeof entry);
        std::memset(&expected, 0, sizeof expected);
        ASSERT_EQ(ParseManifestLine(line, 1, entry, warnings), LineOutcome::Entry) << line;
        expected.flags = flags;
        std::strcpy(expected.fingerprintType, type);
        std::memcpy(expected.path, path.data(), path.size());
        std::memcpy(expected.fingerprint, fingerprint.data(), fingerprint.size());
        EXPECT_EQ(std::memcmp(&entry, &expected, sizeof entry), 0) << line;
    }
    uint8_t digest[64];
    for (int i = 0; i < 64; ++i) {
        digest[i] = static_cast<uint8_t>(i * 4 + 3);
    }
    ManifestEntry entry;
    std::string line = FormatManifestLine("/usr/bin/true", EncodeHex(digest, 64));
    ASSERT_EQ(ParseManifestLine(line.substr(0, line.size() - 1), 1, entry, warnings),
              LineOutcome::Entry);
    EXPECT_EQ(line.substr(0, 24) + EncodeHex(entry.fingerprint, 2), "/usr/bin/true sha512=0300307");
    EXPECT_EQ(std::memcmp(entry.fingerprint, digest, 64), 0);
    EXPECT_TRUE(PathFitsManifest("/" + std::string(1022, 'a')));
    for (const std::string& path :
         {"/" + std::string(1023, 'a'), std::string("/with space"), std::string("/new\nline"),
          std::string("/cr\r"), std::string("#comment"), std::string()}) {
        EXPECT_FALSE(PathFitsManifest(path)) << path;
    }
}

}  // namespace
