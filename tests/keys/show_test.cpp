// keys show: each key's state and whether the root key signed the file, and the signatures it
// never takes: a signing key's, a manifest's, and a keys file's taken for a manifest's.
#include "support/test_support.h"

class KeysShowTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        root_ = MakeKeyPair(Path("root"));
        Shell("cp root.pub " + std::string(TrustedKeyFile));
        for (const char* name : {"a", "b", "c"}) {
            MakeKeyPair(Path(name));
        }
    }
    // The installed keys file of the tests, signed with the root key over the context by
    // openssl, which takes any expiry.
    void SignByHand(const std::string& text) {
        WriteFile(Path(KeysFileName), text);
        Shell(
            "{ printf 'pelmor-sign keys file signature 1\\n'; cat keys; } >signed && openssl "
            "pkeyutl -sign -rawin -inkey root.key -in signed -out keys.sig");
    }
    std::string root_;
};

TEST_F(KeysShowTest, EachKeyHasItsStateAndOnlyAVerifiedUnexpiredFileSucceeds) {
    const std::string fullA = FullKeyId("a"), fullB = FullKeyId("b"), fullC = FullKeyId("c");
    RunSign({"keys", "add", "keys", "a.pub", "--not-after", "2099-01-01T00:00:00Z"});
    RunSign({"keys", "add", "keys", "b.pub", "--not-after", "2001-01-01T00:00:00Z"});
    RunSign({"keys", "revoke", "keys", fullC});
    RunSign(Words("keys sign -k root.key --floor 7 --expires 2098-01-01T00:00:00Z keys"));
    auto key = [](const std::string& id, const std::string& state) {
        return "Key " + id.substr(0, 16) + " " + id + ": " + state + "\n";
    };
    const std::string a = key(fullA, "valid, not after 2099-01-01T00:00:00Z"),
                      b = key(fullB, "past its not-after date, 2001-01-01T00:00:00Z");
    // By default the installed keys file, verified with the installed key.
    EXPECT_EQ(RunSign({"keys", "show"}),
              Succeeded("Keys file: " + Path("keys") +
                        "\nSerial: 1\nExpires: 2098-01-01T00:00:00Z\nFloor: 7\n" + std::min(a, b) +
                        std::max(a, b) + key(fullC, "revoked") +
                        "Signature: verifies with root key " + root_ + "\n"));

    // Expired: still shown, but a script learns it from the status.
    SignByHand("pelmor-sign keys 1\nserial 2\nexpires 2001-01-01T00:00:00Z\n");
    EXPECT_EQ(RunSign({"keys", "show", "--keys", "keys"}),
              (ProcessResult{1,
                             "Keys file: keys\nSerial: 2\nExpires: 2001-01-01T00:00:00Z, "
                             "expired\nFloor: none\nSignature: verifies with root key " +
                                 root_ + "\n",
                             "Error: keys file keys expired at 2001-01-01T00:00:00Z\n"}));
    // Signed by the root yet a draft: without a serial no rollback can be judged.
    for (const auto& [lines, missing] :
         {std::pair{"expires 2099-01-01T00:00:00Z\n", "a serial"}, {"serial 3\n", "an expires"}}) {
        SignByHand(std::string("pelmor-sign keys 1\n") + lines);
        EXPECT_EQ(RunSign({"keys", "show", "--keys", "keys"}).err,
                  std::string("Error: keys file keys is a draft without ") + missing + " line\n");
    }
}

// A signing key that signs a keys file, or a signature over the same bytes taken for the other
// kind: none passes, so that neither a signing key's holder nor whoever has a manifest signed
// by the root can make a keys file, nor a keys file serve as a manifest.
TEST_F(KeysShowTest, OnlyTheRootKeysSignatureOverAKeysFileVerifiesIt) {
    const std::string refused =
        "Error: keys file signature does not verify: keys (root key " + root_ + ")\n";
    RunSign({"keys", "add", "keys", "a.pub"});
    RunSign({"keys", "sign", "-k", "a.key", "--expires", "2099-01-01T00:00:00Z", "keys"});
    EXPECT_EQ(WithoutOut(RunSign({"keys", "show", "--key", "root.pub", "keys"})), Failed(refused));
    // A manifest's signature, over the bytes alone, made by the root.
    Shell("openssl pkeyutl -sign -rawin -inkey root.key -in keys -out keys.sig");
    EXPECT_EQ(WithoutOut(RunSign({"keys", "show", "keys"})), Failed(refused));
    // The root's signature of a keys file, presented with its bytes as a manifest.
    RunSign({"keys", "sign", "-k", "root.key", "--expires", "2099-01-01T00:00:00Z", "keys"});
    ASSERT_EQ(RunSign({"keys", "show", "keys"}).status, 0);
    BootFacility();
    Shell("cp keys m && cp keys.sig m.sig");
    EXPECT_EQ(RunSign({"load", "--key", "root.pub", "--serial-file", "serial", "m"}),
              Failed("Error: manifest signature does not verify: m (key " + root_ + ")\n"));
    EXPECT_EQ(Entries(), "");
}
