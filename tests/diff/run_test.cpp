// diff of two manifests: each kind of difference as text and as JSON, the later line of a
// path counting, and every way it cannot compare.
#include <nlohmann/json.hpp>

#include "support/test_support.h"

class DiffTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // One path a case; /twice has its later line, /same a fingerprint padded with zeros.
        WriteFile("old", "# one path a case\n" + Entry("/same", 64) +
                             Entry("/gone", 128, " trusted") + Entry("/twice", 128, "", '1') +
                             Entry("/twice") + Entry("/fp") + Entry("/both", 128, " no_ptrace") +
                             Entry("/flag", 128, " indirect") +
                             "/type sha256=" + std::string(64, '0') + "\n");
        WriteFile("new", Entry("/new", 128, " trusted") +
                             Entry("/both", 128, " trusted no_ptrace", '1') +
                             Entry("/fp", 128, "", '2') + Entry("/same") + Entry("/flag") +
                             Entry("/twice") + Entry("/type", 64));
    }
    static std::string Entry(const std::string& path, int digits = 128,
                             const std::string& flags = "", char digit = '0') {
        return path + " sha512=" + std::string(digits, digit) + flags + "\n";
    }
};

// Each kind of difference in path order, as text and as JSON, with the serials of any order;
// what cannot be compared is status 2, with nothing on standard output.
TEST_F(DiffTest, EachKindOfDifferenceInPathOrderAsTextOrJsonAndWhatCannotBeComparedAsStatusTwo) {
    WriteFile("bad", ReadFile("new") + "/x sha512=zz\n");
    const std::string differences =
        "changed: /both\nflags: /both: no_ptrace -> no_ptrace trusted\nflags: /flag: indirect -> "
        "none\nchanged: /fp\nremoved: /gone\nadded: /new\nchanged: /type\nCompared 7 entries "
        "with 7: 1 added, 1 removed, 3 changed, 2 flags changed\n";
    EXPECT_EQ(RunSign({"diff", "old", "new"}), (ProcessResult{1, differences, ""}));
    EXPECT_EQ(RunSign({"diff", "new", "new"}),
              Succeeded("Compared 7 entries with 7: 0 added, 0 removed, 0 changed, 0 flags "
                        "changed\n"));
    // An older OLD is no rollback: diff loads nothing.
    std::string id = MakeKeyPair("k");
    RunSign(Words("sign -k k.key --serial 9 old"));
    RunSign(Words("sign -k k.key --serial 5 new"));
    EXPECT_EQ(RunSign(Words("diff --key k.pub old new")),
              (ProcessResult{1,
                             "Verified old: serial 9, key " + id +
                                 ", signature old.sig\nVerified new: serial 5, key " + id +
                                 ", signature new.sig\n" + differences,
                             ""}));
    ProcessResult json = RunSign(Words("diff --key k.pub --format text --format json old new"));
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.out.back(), '\n');
    EXPECT_EQ(nlohmann::json::parse(json.out), nlohmann::json::parse(R"({
        "old": {"manifest": "old", "entries": 7, "serial": 9, "key_id": ")" +
                                                                     id + R"("},
        "new": {"manifest": "new", "entries": 7, "serial": 5, "key_id": ")" +
                                                                     id + R"("},
        "added": [{"path": "/new", "flags": ["trusted"]}],
        "removed": [{"path": "/gone", "flags": ["trusted"]}],
        "changed": [{"path": "/both"}, {"path": "/fp"}, {"path": "/type"}],
        "flags": [{"path": "/both", "old": ["no_ptrace"], "new": ["no_ptrace", "trusted"]},
                  {"path": "/flag", "old": ["indirect"], "new": []}],
        "counts": {"added": 1, "removed": 1, "changed": 3, "flags": 2}})"));

    const std::string help = RunSign({"diff", "-h"}).out;
    EXPECT_EQ(RunSign({"diff", "-h"}), Succeeded(help));
    EXPECT_NE(help.find("Usage: pelmor-sign diff"), std::string::npos) << help;
    for (const auto& [arguments, err] : std::vector<std::pair<std::string, std::string>>{
             {"diff old gone", "Error: cannot open manifest gone: No such file or directory\n"},
             {"diff new bad", "Error: cannot compare bad: line 8: bad fingerprint\n"},
             {"diff --key k.pub new bad",
              "Error: cannot read signature file bad.sig: No such file or directory\n"},
             {"diff --key k.key new new", "Error: unsupported key k.key: not a PEM public key\n"},
             {"diff --format xml old new", "--format: xml not in {text,json}\n" + help},
             {"diff old", "NEW is required\n" + help},
             {"diff", "OLD is required\n" + help}}) {
        EXPECT_EQ(RunSign(Words(arguments)), Troubled(err)) << arguments;
    }
}

// The kernel keys its table by file: "DIR/./su" loads over "DIR/su", although the texts differ.
// Each difference whose path shares its normal form with another path of either manifest says
// so, and a load holds one entry for them.
TEST_F(DiffTest, PathsOfOneNormalFormAreMarkedAsTheOneEntryTheKernelHolds) {
    Shell("touch su id && chmod 755 su id");
    const std::string su = Path("su"), id = Path("id"), dotted = dir_ + "/./su",
                      doubled = dir_ + "//id";
    WriteFile("old", Entry(su) + Entry(id));
    WriteFile("new", Entry(su) + Entry(dotted, 128, " trusted", '1') + Entry(doubled));
    auto marked = [](const std::string& line, const std::string& other) {
        return line + " (same normal form as " + other + ")\n";
    };
    EXPECT_EQ(RunSign({"diff", "old", "new"}),
              (ProcessResult{1,
                             marked("added: " + dotted, su) + marked("added: " + doubled, id) +
                                 marked("removed: " + id, doubled) +
                                 "Compared 2 entries with 3: 2 added, 1 removed, 0 changed, 0 "
                                 "flags changed\n",
                             ""}));
    nlohmann::json json = nlohmann::json::parse(RunSign(Words("diff --format json old new")).out);
    EXPECT_EQ(json["removed"], nlohmann::json::parse(R"([{"path": ")" + id + R"(", "flags": [],
        "same_normal_form": [")" + doubled + R"("]}])"));
    BootFacility();
    EXPECT_EQ(RunSign({"load", "new"}).status, 0);
    EXPECT_EQ(Entries(), "entry\t0x08\tsha512\t" + std::string(128, '1') + "\t" + dotted +
                             "\nentry\t0x00\tsha512\t" + std::string(128, '0') + "\t" + doubled +
                             "\n");
}
