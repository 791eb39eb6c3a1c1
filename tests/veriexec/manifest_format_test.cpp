#include "veriexec/manifest_format.h"

#include <cstring>

#include "support/test_support.h"

namespace {

// 128 hex digits: a whole SHA-512 fingerprint.
const std::string Hex16 = "0123456789abcdef";
const std::string Digits128 = Hex16 + Hex16 + Hex16 + Hex16 + Hex16 + Hex16 + Hex16 + Hex16;

TEST(DecodeHexFingerprintTest, RefusesAnythingButExactlyTwoDigitsPerByteAndWritesNothing) {
    for (std::string text : {Digits128 + "00", std::string("abc"), std::string("zz"),
                             std::string("+f"), std::string("-1"), std::string("\ta"),
                             std::string("0x"), std::string("a\r"), std::string("0a0\0", 4)}) {
        uint8_t bytes[64];
        std::memset(bytes, 0x5a, sizeof bytes);
        EXPECT_EQ(DecodeHexFingerprint(text, bytes, 64), -1) << text;
        EXPECT_EQ(bytes[0], 0x5a) << text;
    }
}

TEST(ParseManifestLineTest, FillsTheWholeRecordFromAnEntryLine) {
    struct Case {
        std::string line;
        uint8_t flags;
        const char* type;
        std::string path;
        std::vector<uint8_t> fingerprint;
    } cases[] = {
        {"/s = trusted\t no_ptrace indirect trusted", Indirect | NoPtrace | Trusted, "", "/s", {}},
        {"/s abcdefghijklmnopqrstuvwxyz=00Ff", 0, "abcdefghijklmno", "/s", {0x00, 0xff}},
        {"/s  sha512=01", 0, " sha512", "/s", {0x01}},
        {"/srv/my tool sha512=01", 0, "tool sha512", "/srv/my", {0x01}},
        // Only a '#' in the first column starts a comment.
        {" #/bin/sh sha512=01", 0, "#/bin/sh sha512", "", {0x01}},
    };
    std::vector<std::string> warnings;
    for (const Case& c : cases) {
        ManifestEntry entry;
        std::memset(&entry, 0xff, sizeof entry);
        ASSERT_EQ(ParseManifestLine(c.line, 1, entry, warnings), LineOutcome::Entry) << c.line;
        ManifestEntry expected;
        std::memset(&expected, 0, sizeof expected);
        expected.flags = c.flags;
        std::strcpy(expected.fingerprintType, c.type);
        std::memcpy(expected.path, c.path.data(), c.path.size());
        std::copy(c.fingerprint.begin(), c.fingerprint.end(), expected.fingerprint);
        EXPECT_EQ(std::memcmp(&entry, &expected, sizeof entry), 0) << c.line;
    }
}

TEST(ManifestLineTest, AGeneratedLineReadsBackAsWrittenOrItsPathIsRefused) {
    uint8_t digest[64];
    for (int i = 0; i < 64; ++i) {
        digest[i] = static_cast<uint8_t>(i * 4 + 3);
    }
    std::string line = FormatManifestLine("/usr/bin/true", EncodeHex(digest, 64));
    ASSERT_EQ(line.back(), '\n');
    ManifestEntry entry;
    std::vector<std::string> warnings;
    ASSERT_EQ(ParseManifestLine(line.substr(0, line.size() - 1), 1, entry, warnings),
              LineOutcome::Entry);
    EXPECT_STREQ(entry.path, "/usr/bin/true");
    EXPECT_STREQ(entry.fingerprintType, "sha512");
    EXPECT_EQ(std::memcmp(entry.fingerprint, digest, 64), 0);
    EXPECT_EQ(EncodeHex(digest, 2), "0307");

    for (const std::string& path : {std::string("/usr/bin/true"), std::string("relative/tab\tname"),
                                    "/" + std::string(1022, 'a')}) {
        EXPECT_TRUE(PathFitsManifest(path)) << path;
    }
    for (const std::string& path :
         {"/" + std::string(1023, 'a'), std::string("/usr/bin/with space"),
          std::string("/usr/bin/new\nline"), std::string("/usr/bin/carriage\r"),
          std::string("#comment/true"), std::string()}) {
        EXPECT_FALSE(PathFitsManifest(path)) << path;
    }
}

}  // namespace
