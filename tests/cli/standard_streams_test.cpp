#include "cli/standard_streams.h"

#include <cstdio>

#include "support/generate_support.h"

namespace {

using StandardStreamsTest = GenerateTest;

struct Case {
    ChildStream output;
    ChildStream error;
    std::string out;
    std::string err;
};

ProcessOptions Streams(ChildStream output, ChildStream error, ProcessOptions options = {}) {
    options.standardOutput = output;
    options.standardError = error;
    return options;
}

TEST_F(StandardStreamsTest, GenerateWritesTheWholeManifestWhateverBecomesOfItsOutputs) {
    MakeElf(Path("tree/a"));
    MakeScript(Path("tree/b"));
    // Its error makes the run write to standard error.
    MakeElf(Path("tree/with space"));
    std::vector<std::string> arguments = {"-d", Path("tree"), "-o", Path("m")};
    std::string unwritable =
        "Error: path cannot be written to the manifest: " + Path("tree/with space") + "\n";
    ASSERT_EQ(Generate(arguments).err, unwritable);
    std::string manifest = ReadFile(Path("m"));
    ASSERT_EQ(Sorted(LinesUnder(manifest, dir_)),
              Sorted({ExpectedLine(Path("tree/a")), ExpectedLine(Path("tree/b"))}));

    const Case cases[] = {
        // A closed descriptor 1 must not become the manifest's, taking the listings into it.
        {ChildStream::Closed, ChildStream::Captured, "",
         unwritable + "Error: cannot write standard output: Bad file descriptor\n"},
        {ChildStream::BrokenPipe, ChildStream::Captured, "",
         unwritable + "Error: cannot write standard output: Broken pipe\n"},
        {ChildStream::Captured, ChildStream::Closed, "Done, full time", ""},
        {ChildStream::Closed, ChildStream::Closed, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err + c.out);
        std::remove(Path("m").c_str());
        ProcessResult result = Generate(arguments, Streams(c.output, c.error, HiddenSystem()));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(ReadFile(Path("m")), manifest);
        EXPECT_NE(result.out.find(c.out), std::string::npos);
    }
}

TEST_F(StandardStreamsTest, LoadSendsEveryEntryWhenItsOutputsFail) {
    WriteFile(Path("f0"), "", 0755);
    WriteFile(Path("f1"), "", 0755);
    WriteFile(Path("manifest"),
              Path("f0") + " sha512=00\nno-space-at-all\n" + Path("f1") + " sha512=01\n");
    std::string summary = "Loaded 2 entries (1 errors) from " + Path("manifest") + "\n";
    std::string warning = "pelmor-sign: line 2: bad format\n";
    const Case cases[] = {
        {ChildStream::Captured, ChildStream::BrokenPipe, summary, ""},
        {ChildStream::Captured, ChildStream::Closed, summary, ""},
        {ChildStream::BrokenPipe, ChildStream::Captured, "",
         warning + "Error: cannot write standard output: Broken pipe\n"},
        {ChildStream::Closed, ChildStream::Captured, "",
         warning + "Error: cannot write standard output: Bad file descriptor\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err + c.out);
        BootFacility();
        ProcessResult result = RunSign({"load", Path("manifest")}, Streams(c.output, c.error));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        std::string show = Show();
        EXPECT_EQ(std::count(show.begin(), show.end(), '\n'), 3 + 2) << show;
        EXPECT_NE(show.find("\t" + Path("f1") + "\n"), std::string::npos) << show;
    }
}

TEST_F(StandardStreamsTest, EveryCommandReportsAFailedStandardOutput) {
    WriteFile(Path("tool"), "", 0755);
    WriteFile(Path("manifest"), Path("tool") + " sha512=00\n");
    const std::vector<std::string> commands[] = {
        {"-v"},       {"-h"},      {"generate", "-h"},
        {"load"},     {"status"},  {"load", Path("manifest")},
        {"activate"}, {"enforce"}, {"lock"}};
    for (const std::vector<std::string>& arguments : commands) {
        SCOPED_TRACE(arguments.front());
        ProcessResult result =
            RunSign(arguments, Streams(ChildStream::BrokenPipe, ChildStream::Captured));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Error: cannot write standard output: Broken pipe\n");
    }
    EXPECT_EQ(Show().substr(0, 11), "state 0x0f\n");
}

}  // namespace
