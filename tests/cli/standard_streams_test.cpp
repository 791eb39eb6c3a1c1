// The standard streams of a command run in a process of its own, since they are what is broken
// here: closed, or leading to a reader that went away.
#include "cli/standard_streams.h"

#include <algorithm>
#include <cstdio>

#include "support/test_support.h"

namespace {

using StandardStreamsTest = ImageTest;

ChildOptions Streams(ChildStream output, ChildStream error) {
    ChildOptions options;
    options.standardOutput = output;
    options.standardError = error;
    return options;
}

TEST_F(StandardStreamsTest, GenerateAndLoadFinishTheirWorkWhateverBecomesOfTheirOutputs) {
    MakeElf("/tree/a");
    MakeScript("/tree/b");
    // A path that generate cannot write, and a bad line for load: both write to standard error.
    MakeElf("/tree/with space");
    std::vector<std::string> arguments = {"generate", "-R", root_, "-d", "/tree", "-o", Path("m")};
    std::string unwritable = "Error: path cannot be written to the manifest: /tree/with space\n";
    ASSERT_EQ(RunSign(arguments).err, unwritable);
    std::string manifest = ReadFile(Path("m"));
    ASSERT_EQ(Lines(manifest).size(), 2u);
    WriteFile(Path("load"), Image("/tree/a") + " sha512=00\nno-space-at-all\n" + Image("/tree/b") +
                                " sha512=01\n");
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
        // A closed descriptor 1 must not become a file's, taking the listings into it.
        {ChildStream::Closed, ChildStream::Captured, unwritable + closed, "", warning + closed},
        {ChildStream::BrokenPipe, ChildStream::Captured, unwritable + broken, "", warning + broken},
        {ChildStream::Captured, ChildStream::Closed, "", summary, ""},
        {ChildStream::Captured, ChildStream::BrokenPipe, "", summary, ""},
        {ChildStream::Closed, ChildStream::Closed, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.generateErr + c.loadOut + c.loadErr);
        std::remove(Path("m").c_str());
        ProcessResult generate = RunSignChild(arguments, Streams(c.output, c.error));
        EXPECT_EQ(generate.status, 1);
        EXPECT_EQ(generate.err, c.generateErr);
        EXPECT_EQ(ReadFile(Path("m")), manifest);
        EXPECT_EQ(generate.out.find("Done, full time") != std::string::npos,
                  c.output == ChildStream::Captured);

        BootFacility();
        ProcessResult load = RunSignChild({"load", Path("load")}, Streams(c.output, c.error));
        EXPECT_EQ(load.status, 1);
        EXPECT_EQ(load.out, c.loadOut);
        EXPECT_EQ(load.err, c.loadErr);
        std::string show = Show();
        EXPECT_EQ(std::count(show.begin(), show.end(), '\n'), 3 + 2) << show;
        EXPECT_NE(show.find("\t" + Image("/tree/b") + "\n"), std::string::npos) << show;
    }
}

TEST_F(StandardStreamsTest, EveryCommandReportsAFailedStandardOutput) {
    WriteFile(Path("tool"), "", 0755);
    WriteFile(Path("manifest"), Path("tool") + " sha512=00\n");
    const std::vector<std::string> commands[] = {{"-v"},
                                                 {"-h"},
                                                 {"generate", "-h"},
                                                 {"load"},
                                                 {"status"},
                                                 {"load", Path("manifest")},
                                                 {"activate"},
                                                 {"enforce"},
                                                 {"lock"},
                                                 {"generate", "-R", root_, "-d", "/"}};
    for (const std::vector<std::string>& arguments : commands) {
        SCOPED_TRACE(arguments.front());
        ProcessResult result =
            RunSignChild(arguments, Streams(ChildStream::BrokenPipe, ChildStream::Captured));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Error: cannot write standard output: Broken pipe\n");
    }
    EXPECT_EQ(Show().substr(0, 11), "state 0x0f\n");
}

}  // namespace
