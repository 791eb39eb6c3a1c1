// The keys file's text, read strictly, and its dates; what it reads back as written, and the
// root key's signature over it, are pinned by the keys command's tests in tests/keys.
#include "manifest/keys_file.h"

#include <ctime>

#include "support/test_support.h"

class KeysFileTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        MakeKeyPair(Path("a"));
        MakeKeyPair(Path("b"));
    }
    static std::string Parsed(const std::string& text) {
        KeysFile file;
        std::string error = ParseKeysFile(text, file);
        return error.empty() ? FormatKeysFile(file) : error;
    }
};

// Someone edits the file by hand, or a key line is forged to name a trusted id with another
// key: each is refused, naming the line, and nothing else is ever taken as a keys file.
TEST_F(KeysFileTest, LinesThatAreUnknownMisplacedMalformedOrLieAboutTheirKeyAreRefused) {
    const std::string header = "pelmor-sign keys 1\n", a = KeyLine("a"), b = KeyLine("b");
    const std::string first = std::min(a, b), second = std::max(a, b);
    const std::string firstId = first.substr(4, 64), secondId = second.substr(4, 64);
    MakeKeyPair(Path("rsa"), "-algorithm RSA -pkeyopt rsa_keygen_bits:2048");
    std::string der = Shell(
        "openssl pkey -pubin -in a.pub -outform DER >a.der && "
        "printf x >>a.der && base64 -w0 a.der");
    std::vector<std::pair<std::string, std::string>> cases{
        {"", "line 1: the first line must be 'pelmor-sign keys 1'"},
        {"pelmor-sign keys 1", "line 1: no line feed at its end"},
        {header + "serial 1\n\n", "line 3: an empty line"},
        {header + "# a comment\n", "line 2: not a line of this file"},
        {header + "serial 1 \n", "line 2: a space out of place (words are separated by one space)"},
        {header + "serial 1\r\n", "line 2: bad serial (an unsigned 64-bit decimal number)"},
        {header + "serial 18446744073709551616\n",
         "line 2: bad serial (an unsigned 64-bit decimal number)"},
        {header + "revoked " + firstId + "\n" + second + "\n",
         "line 3: a key line out of place (the lines come in the order serial, expires, floor, "
         "key, revoked)"},
        {header + "expires 2027-02-29T00:00:00Z\n",
         "line 2: bad expiry (a UTC date and time such as 2027-03-01T00:00:00Z)"},
        {header + first + " not-after 2027-03-01\n",
         "line 2: bad not-after date (a UTC date and time such as 2027-03-01T00:00:00Z)"},
        {header + first + " not-after\n",
         "line 2: a key line is 'key ID BASE64' with ' not-after DATE' or nothing after it"},
        // The forged line: a trusted key's id, another key's DER.
        {header + "key " + firstId + second.substr(68) + "\n",
         "line 2: key id " + firstId + " is not the SHA-256 of its key, " + secondId},
        {header + "key " + FullKeyId("a") + " " + der + "\n",
         "line 2: unsupported key: not the DER encoding of its key"},
        {header + KeyLine("rsa") + "\n",
         "line 2: unsupported key: an RSA key of 2048 bits (at least 3072 are needed)"},
        {header + "key " + std::string(64, 'A') + a.substr(68) + "\n",
         "line 2: bad key id (64 lower-case hexadecimal digits)"},
        {header + a + "=\n", "line 2: bad key (the base64 of its DER public key)"},
        {header + second + "\n" + first + "\n",
         "line 3: key " + firstId + " is out of order (sorted by id)"},
        {header + first + "\n" + first + "\n", "line 3: key " + firstId + " is listed twice"},
        {header + first + "\nrevoked " + firstId + "\n",
         "line 3: key " + firstId + " is both listed and revoked"},
        {header + "revoked " + secondId + "\nrevoked " + secondId + "\n",
         "line 3: revoked key " + secondId + " is listed twice"},
        {header + "revoked " + firstId.substr(0, 16) + "\n",
         "line 2: a revoked line is 'revoked ID', the id in 64 lower-case hexadecimal digits"}};
    for (const auto& [text, error] : cases) {
        EXPECT_EQ(Parsed(text), error) << text;
    }
}

TEST_F(KeysFileTest, DatesAreUtcInExactlyTheFormOfRfc3339ThatTheFileWrites) {
    int64_t seconds = 0;
    for (const char* bad :
         {"2027-03-01", "2027-03-01 00:00:00Z", "2027-03-01T00:00:00z", "2027-03-01T00:00:00",
          "2027-03-01T00:00:00+00:00", "2027-03-01T00:00:00.0Z", "2027-3-01T00:00:00Z",
          "2027-00-01T00:00:00Z", "2027-13-01T00:00:00Z", "2027-04-31T00:00:00Z",
          "2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2027-03-01T24:00:00Z",
          "2027-03-01T00:60:00Z", "2016-12-31T23:59:60Z", "+027-03-01T00:00:00Z"}) {
        EXPECT_FALSE(ParseUtcDate(bad, seconds)) << bad;
    }
    ASSERT_TRUE(ParseUtcDate("2000-02-29T23:59:59Z", seconds));
    EXPECT_EQ(seconds, 951868799);
    // Every date gmtime(3) gives, 1900 to 9999, is written as it writes it and read back.
    for (int64_t at = -2208988800; at < 253402300800; at += 86400 * 97 + 3671) {
        std::time_t time = at;
        std::tm broken{};
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&time, &broken));
        ASSERT_EQ(FormatUtcDate(at), text);
        ASSERT_TRUE(ParseUtcDate(text, seconds) && seconds == at) << text;
    }
}
