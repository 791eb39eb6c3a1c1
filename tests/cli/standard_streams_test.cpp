#include "cli/standard_streams.h"

#include <cstdio>

#include "support/generate_support.h"

namespace {

using StandardStreamsTest = GenerateTest;

ProcessOptions Streams(ChildStream output, ChildStream error, ProcessOptions options = {}) {
    options.standardOutput = output;
    options.standardError = error;
    return options;
}

TEST_F(StandardStreamsTest, GenerateAndLoadFinishTheirWorkWhateverBecomesOfTheirOutputs) {
    MakeElf(Path("tree/a"));
    MakeScript(Path("tree/b"));
    // A path that generate cannot write, and a bad line for load: both write to standard error.
    MakeElf(Path("tree/with space"));
    std::vector<std::string> arguments = {"-d", Path("tree"), "-o", Path("m")};
    std::string unwritable =
        "Error: path cannot be written to the manifest: " + Path("tree/with space") + "\n";
    ASSERT_EQ(Generate(arguments).err, unwritable);
    std::string manifest = ReadFile(Path("m"));
    ASSERT_EQ(Sorted(LinesUnder(manifest, dir_)),
              Sorted({ExpectedLine(Path("tree/a")), ExpectedLine(Path("tree/b"))}));
    WriteFile(Path("load"),
              Path("tree/a") + " sha512=00\nno-space-at-all\n" + Path("tree/b") + " sha512=01\n");
    std::string summary = "Loaded 2 entries (1 errors) from " + Path("load") + "\n";
    std::string warning = "pelmor-sign: line 2: bad format\n";
    std::string closed = "Error: cannot write standard output: Bad file descriptor\n";
    std::string broken = "Error: cannot write standard output: Broken pipe\n";

    struct Case {
        ChildStream output;
        ChildStream error;
        std::string generateErr;
        std::string loadOut;
        std::string loadErr;
    } cases[] = {
        // A closed descriptor 1 must not become the manifest's, taking the listings into it.
        {ChildStream::Closed, ChildStream::Captured, unwritable + closed, "", warning + closed},
        {ChildStream::BrokenPipe, ChildStream::Captured, unwritable + broken, "", warning + broken},
        {ChildStream::Captured, ChildStream::Closed, "", summary, ""},
        {ChildStream::Captured, ChildStream::BrokenPipe, "", summary, ""},
        {ChildStream::Closed, ChildStream::Closed, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.generateErr + c.loadOut + c.loadErr);
        std::remove(Path("m").c_str());
        ProcessResult generate = Generate(arguments, Streams(c.output, c.error, HiddenSystem()));
        EXPECT_EQ(generate.status, 1);
        EXPECT_EQ(generate.err, c.generateErr);
        EXPECT_EQ(ReadFile(Path("m")), manifest);
        EXPECT_EQ(generate.out.find("Done, full time") != std::string::npos,
                  c.output == ChildStream::Captured);

        BootFacility();
        ProcessResult load = RunSign({"load", Path("load")}, Streams(c.output, c.error));
        EXPECT_EQ(load.status, 1);
        EXPECT_EQ(load.out, c.loadOut);
        EXPECT_EQ(load.err, c.loadErr);
        std::string show = Show();
        EXPECT_EQ(std::count(show.begin(), show.end(), '\n'), 3 + 2) << show;
        EXPECT_NE(show.find("\t" + Path("tree/b") + "\n"), std::string::npos) << show;
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
