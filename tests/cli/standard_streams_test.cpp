#include "cli/standard_streams.h"

#include <cstdio>

#include "support/generate_support.h"

namespace {

using StandardStreamsTest = GenerateTest;

ProcessOptions Streams(ChildStream output, ChildStream error) {
    ProcessOptions options = HiddenSystem();
    options.standardOutput = output;
    options.standardError = error;
    return options;
}

TEST_F(StandardStreamsTest, GenerateWritesTheWholeManifestWhateverBecomesOfItsOutputs) {
    MakeElf(Path("tree/a"));
    MakeScript(Path("tree/b"));
    MakeElf(Path("tree/with space"));
    std::vector<std::string> arguments = {"-d", Path("tree"), "-o", Path("m")};
    ProcessResult reference = Generate(arguments);
    std::string unwritable =
        "Error: path cannot be written to the manifest: " + Path("tree/with space") + "\n";
    ASSERT_EQ(reference.err, unwritable);
    std::string manifest = ReadFile(Path("m"));
    ASSERT_EQ(Sorted(LinesUnder(manifest, dir_)),
              Sorted({ExpectedLine(Path("tree/a")), ExpectedLine(Path("tree/b"))}));

    struct Case {
        ChildStream output;
        ChildStream error;
        std::string err;
    } cases[] = {
        // A closed descriptor 1 must not become the manifest's, taking the listings into it.
        {ChildStream::Closed, ChildStream::Captured,
         unwritable + "Error: cannot write standard output: Bad file descriptor\n"},
        {ChildStream::BrokenPipe, ChildStream::Captured,
         unwritable + "Error: cannot write standard output: Broken pipe\n"},
        {ChildStream::Captured, ChildStream::Closed, ""},
        {ChildStream::Closed, ChildStream::Closed, ""},
    };
    for (const Case& c : cases) {
        std::remove(Path("m").c_str());
        ProcessResult result = Generate(arguments, Streams(c.output, c.error));
        EXPECT_EQ(result.status, 1) << static_cast<int>(c.output) << static_cast<int>(c.error);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(ReadFile(Path("m")), manifest)
            << static_cast<int>(c.output) << static_cast<int>(c.error);
        if (c.output == ChildStream::Captured) {
            EXPECT_NE(ProgressLine(result.out, Path("tree")), "");
            EXPECT_NE(result.out.find("Done, full time"), std::string::npos);
        }
    }
}

TEST_F(StandardStreamsTest, LoadSendsEveryEntryWhenItsOutputsFail) {
    std::string manifest;
    for (int i = 0; i < 20; ++i) {
        WriteFile(Path("f" + std::to_string(i)), "", 0755);
        manifest += Path("f" + std::to_string(i)) + " sha512=0" + std::to_string(i % 10) + "\n";
        if (i == 10) {
            manifest += "no-space-at-all\n";
        }
    }
    WriteFile(Path("manifest"), manifest);
    std::string summary = "Loaded 20 entries (1 errors) from " + Path("manifest") + "\n";
    struct Case {
        ChildStream output;
        ChildStream error;
        std::string out;
        std::string err;
    } cases[] = {
        {ChildStream::Captured, ChildStream::BrokenPipe, summary, ""},
        {ChildStream::Captured, ChildStream::Closed, summary, ""},
        {ChildStream::BrokenPipe, ChildStream::Captured, "",
         "pelmor-sign: line 12: bad format\nError: cannot write standard output: Broken pipe\n"},
        {ChildStream::Closed, ChildStream::Captured, "",
         "pelmor-sign: line 12: bad format\n"
         "Error: cannot write standard output: Bad file descriptor\n"},
    };
    for (const Case& c : cases) {
        BootFacility();
        ProcessOptions options;
        options.standardOutput = c.output;
        options.standardError = c.error;
        ProcessResult result = RunSign({"load", Path("manifest")}, options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        std::string show = Show();
        EXPECT_EQ(std::count(show.begin(), show.end(), '\n'), 3 + 20) << show;
        EXPECT_NE(show.find("\t" + Path("f19") + "\n"), std::string::npos);
    }
}

TEST_F(StandardStreamsTest, EveryCommandReportsAFailedStandardOutput) {
    WriteFile(Path("tool"), "", 0755);
    WriteFile(Path("manifest"), Path("tool") + " sha512=00\n");
    ProcessOptions broken;
    broken.standardOutput = ChildStream::BrokenPipe;
    for (std::vector<std::string> arguments : {std::vector<std::string>{"-v"},
                                               {"-h"},
                                               {"generate", "-h"},
                                               {"load"},
                                               {"status"},
                                               {"load", Path("manifest")},
                                               {"activate"},
                                               {"enforce"},
                                               {"lock"}}) {
        ProcessResult result = RunSign(arguments, broken);
        EXPECT_EQ(result.status, 1) << arguments.front();
        EXPECT_EQ(result.err, "Error: cannot write standard output: Broken pipe\n")
            << arguments.front();
    }
    EXPECT_EQ(Show().substr(0, 11), "state 0x0f\n");
}

}  // namespace
