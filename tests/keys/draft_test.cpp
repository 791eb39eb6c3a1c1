// keys add and keys revoke: a draft edited in its one form, what each edit says it did, and
// the edits that are refused before anything is written.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

class KeysDraftTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        a_ = MakeKeyPair(Path("a"));
        b_ = MakeKeyPair(Path("b"));
        fullA_ = FullKeyId("a");
    }
    std::string a_, b_, fullA_;
};

TEST_F(KeysDraftTest, EditsAreWrittenInTheOneFormAndDropASignatureThatNoLongerCoversThem) {
    const std::string date = "2027-01-01T00:00:00Z", wrote = "Wrote draft draft: ";
    EXPECT_EQ(RunSign({"keys", "add", "draft", "a.pub", "b.pub", "--not-after", date}),
              Succeeded("Added key " + a_ + " from a.pub, not after " + date + "\nAdded key " + b_ +
                        " from b.pub, not after " + date + "\n" + wrote + "2 keys, 0 revoked\n"));
    EXPECT_EQ(ReadFile("draft"),
              "pelmor-sign keys 1\n" + std::min(KeyLine("a"), KeyLine("b")) + " not-after " + date +
                  "\n" + std::max(KeyLine("a"), KeyLine("b")) + " not-after " + date + "\n");
    // A key listed already gets the new date, or none.
    EXPECT_EQ(
        RunSign({"keys", "add", "draft", "a.pub"}),
        Succeeded("Kept key " + a_ + " from a.pub, listed already, now without a not-after date\n" +
                  wrote + "2 keys, 0 revoked\n"));
    ASSERT_EQ(RunSign(Words("keys sign -k a.key --expires 2099-01-01T00:00:00Z draft")).status, 0);
    const std::string signedDraft = ReadFile("draft");
    // An edit that changes nothing leaves the signature, which still covers the draft.
    EXPECT_EQ(RunSign({"keys", "add", "draft", "a.pub"}),
              Succeeded("Kept key " + a_ + " from a.pub, listed already\nDraft draft unchanged\n"));
    EXPECT_TRUE(fs::exists("draft.sig"));
    EXPECT_EQ(RunSign({"keys", "revoke", "draft", a_}),
              Succeeded("Removed draft.sig: the draft it signed has changed\nRevoked key " +
                        fullA_ + ", listed until now\n" + wrote + "1 keys, 1 revoked\n"));
    EXPECT_FALSE(fs::exists("draft.sig"));
    // The serial and expiry of the file signed stay; keys sign replaces both.
    EXPECT_EQ(ReadFile("draft"), signedDraft.substr(0, signedDraft.find("key ")) + KeyLine("b") +
                                     " not-after " + date + "\nrevoked " + fullA_ + "\n");
    const std::string other(64, 'c');
    EXPECT_EQ(RunSign({"keys", "revoke", "draft", other, fullA_}),
              Succeeded("Revoked key " + other + ", not listed\nKey " + fullA_ +
                        " was revoked already\n" + wrote + "1 keys, 2 revoked\n"));
    const std::string revoked = ReadFile("draft");
    EXPECT_EQ(RunSign({"keys", "add", "draft", "a.pub"}),
              Failed("Error: refusing key a.pub: key " + a_ + " is revoked in draft\n"));
    EXPECT_EQ(ReadFile("draft"), revoked);
}

// A key that cannot serve, a draft damaged by hand, an id that names no key, a link planted
// where the draft goes: each refused with the draft as it was.
TEST_F(KeysDraftTest, EditsThatCannotBeMadeWhollyAreRefusedWithTheDraftUnchanged) {
    ASSERT_EQ(RunSign({"keys", "add", "draft", "a.pub"}).status, 0);
    Shell("cp draft saved && cp a.pub open.pub && chmod 666 open.pub && echo victim >victim");
    // The arguments of keys; a change made by a shell command; the refusal.
    std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"add draft b.pub none.pub", "",
         "cannot read key file none.pub: No such file or directory"},
        {"add draft open.pub", "", "refusing open.pub: writable by group or others"},
        {"add draft b.key", "", "unsupported key b.key: not a PEM public key"},
        {"revoke draft " + b_, "",
         "no key listed in draft has the id " + b_ + " (revoke a key not listed by its full id)"},
        {"add draft b.pub", "echo 'serial 1' >>draft",
         "bad keys file draft: line 3: a serial line out of place (the lines come in the order "
         "serial, expires, floor, key, revoked)"},
        {"add draft b.pub", "mkdir draft.sig",
         "cannot remove signature file draft.sig: Is a directory"},
        {"add new b.pub", "ln -s victim.new new", "refusing new: not a regular file"}};
    for (const auto& [arguments, change, error] : cases) {
        Shell("rm -rf draft.sig new && cp saved draft && " + (change.empty() ? "true" : change));
        const std::string before = ReadFile("draft");
        EXPECT_EQ(RunSign(Words("keys " + arguments)), Failed("Error: " + error + "\n")) << change;
        EXPECT_EQ(ReadFile("draft"), before);
    }
    EXPECT_FALSE(fs::exists("victim.new"));
    EXPECT_EQ(Lines(RunSign({"keys", "revoke", "draft", "A0"}).err).front(),
              "ID: ID must be 64 or 16 lower-case hexadecimal digits, not 'A0'\n");
}
