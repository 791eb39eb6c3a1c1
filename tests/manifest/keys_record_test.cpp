// The record a host keeps beside its serial record: what it never forgets, and the file rules
// it shares with the serial record. What may raise it, and that it is read back as written, are
// pinned by keys install's tests.
#include "manifest/keys_record.h"

#include "support/test_support.h"

class KeysRecordTest : public TempDirTest {
  protected:
    const std::string digest_ = std::string(64, 'd'), a_ = std::string(64, 'a'),
                      b_ = std::string(64, 'b');
};

TEST_F(KeysRecordTest, RevocationsOnlyAccumulateAndSignersAreThoseOfOneSerial) {
    KeysRecord record;
    record.RaiseKeysFile(1, digest_);
    record.AddRevoked({b_});
    record.AddRevoked({a_});
    record.AddRevoked({});
    EXPECT_EQ(record.revoked, (std::set<std::string>{a_, b_}));
    // A stolen key's serial 2^62, then an honest one of the same serial: both signed it, each
    // its own manifest.
    record.RecordSigner(uint64_t{1} << 62, a_, b_);
    record.RecordSigner(uint64_t{1} << 62, b_, digest_);
    EXPECT_TRUE(record.Signed(uint64_t{1} << 62, a_, b_));
    EXPECT_FALSE(record.Signed(uint64_t{1} << 62, a_, digest_));
    // After the record fell to a floor, the serial loaded there has its own signers alone.
    record.RecordSigner(100, b_, a_);
    EXPECT_FALSE(record.Signed(uint64_t{1} << 62, b_, digest_));
    EXPECT_EQ(FormatKeysRecord(record),
              "pelmor-sign keys record 1\nkeys-serial 1\nkeys-digest " + digest_ + "\nrevoked " +
                  a_ + "\nrevoked " + b_ + "\nmanifest-serial 100\nsigner " + b_ + " " + a_ + "\n");
}

// A record damaged, swapped for a link or left open to others is refused, never taken for no
// record at all, which would let the host forget its revocations.
TEST_F(KeysRecordTest, ADamagedLinkedOrExposedRecordIsRefusedNeverTakenForNone) {
    KeysRecord record;
    record.RaiseKeysFile(5, digest_);
    ASSERT_EQ(WriteKeysRecord("r", record), "");
    const std::string good = ReadFile(Path("r"));
    const std::string unusable = "Error: cannot use keys record r: ";
    std::vector<std::pair<std::string, std::string>> cases{
        {"echo 'revoked " + a_ + "' >>r && sed -i 2d r",
         unusable +
             "line 3: a keys-serial and a keys-digest line, or a pending-digest line, must come "
             "first"},
        {"sed -i '1a pending-digest " + a_ + "' r",
         unusable + "line 3: a record names an installed keys file or a pending one"},
        {"sed -i 3d r", unusable + "the record ends before its keys-serial and keys-digest lines"},
        {"echo 'signer " + a_ + " " + b_ + "' >>r",
         unusable + "line 4: a signer line without a manifest-serial line before it"},
        {"chmod 666 r", "Error: refusing r: writable by group or others\n"},
        {"mv r s && ln -s s r", "Error: refusing r: not a regular file\n"},
        {"rm r && mkdir r", unusable + "Is a directory"}};
    for (auto& [change, error] : cases) {
        Shell("rm -rf r s && printf '%s' '" + good + "' >r && chmod 644 r && " + change);
        std::optional<KeysRecord> read;
        EXPECT_EQ(ReadKeysRecord("r", read), error.back() == '\n' ? error : error + "\n") << change;
        EXPECT_FALSE(read);
    }
    // Nor is it written through a link.
    Shell("rm -rf r s && echo victim >s && ln -s s r");
    EXPECT_EQ(WriteKeysRecord("r", record), "Error: refusing r: not a regular file\n");
    EXPECT_EQ(ReadFile(Path("s")), "victim\n");
}
