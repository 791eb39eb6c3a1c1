// Standard streams that are closed, or lead to a reader that went away: the command runs in a
// process of its own, since its streams are what is broken.
#include "support/test_support.h"

using StandardStreamsTest = ImageTest;

TEST_F(StandardStreamsTest, GenerateAndOtherCommandsFinishTheirWorkWhateverBecomesOfTheirOutputs) {
    // A path that generate cannot write: it goes to standard error.
    MakeElf("/tree/a", "/tree/with space");
    std::vector<std::string> generate = Words("generate -R " + root_ + " -d /tree -o " + Path("m"));
    ASSERT_EQ(RunSign(generate).status, 1);
    const std::string manifest = ReadFile(Path("m"));
    const std::string unwritable =
        "Error: path cannot be written to the manifest: /tree/with space\n";
    const std::string broken = "Error: cannot write standard output: Broken pipe\n";
    for (const auto& [output, error, err] :
         {std::tuple<ChildStream, ChildStream, std::string>{
              // A closed descriptor 1 must not become a file's, taking the listings into it.
              ChildStream::Closed, ChildStream::Captured,
              unwritable + "Error: cannot write standard output: Bad file descriptor\n"},
          {ChildStream::BrokenPipe, ChildStream::Captured, unwritable + broken},
          {ChildStream::Captured, ChildStream::BrokenPipe, ""},
          {ChildStream::Closed, ChildStream::Closed, ""}}) {
        ChildOptions streams;
        streams.standardOutput = output;
        streams.standardError = error;
        std::remove(Path("m").c_str());
        EXPECT_EQ(WithoutOut(RunSignChild(generate, streams)), Failed(err));
        EXPECT_EQ(ReadFile(Path("m")), manifest);
    }
    // Every command reports a standard output that fails, check as trouble; lock after enforce
    // needs a trusted program.
    WriteFile(Path("m"), TrustedProgramLine());
    ASSERT_EQ(RunSign({"load", Path("m")}).status, 0);
    WriteFile(Path("m"), Image("/tree/a") + " sha512=00\n");
    ChildOptions brokenOutput;
    brokenOutput.standardOutput = ChildStream::BrokenPipe;
    for (const char* arguments : {"-v", "-h", "generate -h", "load m", "status", "check m",
                                  "activate", "enforce", "lock"}) {
        EXPECT_EQ(RunSignChild(Words(arguments), brokenOutput),
                  (ProcessResult{std::string(arguments) == "check m" ? 2 : 1, "", broken}));
    }
    // diff's 1 says that the manifests differ: its trouble is 2.
    EXPECT_EQ(RunSignChild(Words("diff m m"), brokenOutput), (ProcessResult{2, "", broken}));
}
