// keys sign: the serial, expiry and floor it gives a draft, and what it refuses before writing.
// Its signature is keys show's test, which verifies it as it verifies one made by openssl over
// the context and the file.
#include <sys/stat.h>

#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

class KeysSignTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        root_ = MakeKeyPair(Path("root"));
        MakeKeyPair(Path("a"));
        RunSign({"keys", "add", "draft", "a.pub"});
    }
    ProcessResult Sign(std::vector<std::string> more) {
        std::vector<std::string> command{
            "keys", "sign", "-k", "root.key", "--expires", "2099-01-01T00:00:00Z", "draft"};
        command.insert(command.end() - 1, more.begin(), more.end());
        return RunSign(command);
    }
    std::string Signed(int serial) {
        return "Signed keys file draft: serial " + std::to_string(serial) +
               ", expires 2099-01-01T00:00:00Z, 1 keys, 0 revoked, root key " + root_ + "\n";
    }
    std::string root_;
};

TEST_F(KeysSignTest, EachSigningRaisesTheSerialAndKeepsTheFloor) {
    EXPECT_EQ(Sign({}), Succeeded(Signed(1)));
    const std::string key = KeyLine("a") + "\n";
    EXPECT_EQ(ReadFile("draft"),
              "pelmor-sign keys 1\nserial 1\nexpires 2099-01-01T00:00:00Z\n" + key);
    EXPECT_EQ(Sign({"--floor", "100"}), Succeeded(Signed(2)));
    EXPECT_EQ(Sign({}), Succeeded(Signed(3)));
    EXPECT_EQ(ReadFile("draft"),
              "pelmor-sign keys 1\nserial 3\nexpires 2099-01-01T00:00:00Z\nfloor 100\n" + key);
    EXPECT_EQ(Sign({"--serial", "50", "--floor", "0"}), Succeeded(Signed(50)));
    EXPECT_EQ(ReadFile("draft"),
              "pelmor-sign keys 1\nserial 50\nexpires 2099-01-01T00:00:00Z\nfloor 0\n" + key);
}

TEST_F(KeysSignTest, APastExpiryAnUnfitRootKeyOrAPlantedSignatureIsRefusedBeforeWriting) {
    // The root key is opened as sign opens a signing key, whose refusals are sign's test: one
    // here is refused before the draft is written.
    Shell("cp draft saved && install -m 400 root.pub pub.key && echo victim >victim");
    std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"--expires 2001-01-01T00:00:00Z", "",
         "--expires 2001-01-01T00:00:00Z is not in the future"},
        {"-k pub.key", "", "unsupported key pub.key: a public key, not a private key"},
        {"", "rm draft", "cannot read keys file draft: No such file or directory"},
        {"", "ln -s victim draft.sig", "refusing draft.sig: not a regular file"},
        {"", "sed -i '1a serial 18446744073709551615' draft",
         "the serial of draft cannot be raised: give --serial"}};
    for (const auto& [more, change, error] : cases) {
        Shell("rm -f draft.sig && cp saved draft && " + (change.empty() ? "true" : change));
        const std::string before = ReadFile("draft");
        EXPECT_EQ(Sign(Words(more)), Failed("Error: " + error + "\n")) << change;
        EXPECT_EQ(ReadFile("draft"), before);
        EXPECT_TRUE(change.find("draft.sig") != std::string::npos || !fs::exists("draft.sig"));
    }
    EXPECT_EQ(ReadFile("victim"), "victim\n");
    EXPECT_EQ(Lines(Sign({"--expires", "2027-02-29T00:00:00Z"}).err).front(),
              "--expires: DATE must be a UTC date and time such as 2027-03-01T00:00:00Z, not "
              "'2027-02-29T00:00:00Z'\n");
}
