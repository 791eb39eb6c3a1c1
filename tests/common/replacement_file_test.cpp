#include "common/replacement_file.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "common/file_io.h"
#include "support/test_support.h"

using ReplacementFileTest = TempDirTest;

TEST_F(ReplacementFileTest, NewFileTakesTheUmaskAndALinkStaysALink) {
    Shell("mkdir d && ln -s d/fresh link");
    mode_t mask = umask(027);
    EXPECT_EQ(ReplacementFile(Path("d/fresh")).Replace({"fresh ", "content\n"}), 0);
    umask(mask);
    EXPECT_EQ(std::filesystem::status(Path("d/fresh")).permissions(), std::filesystem::perms(0640));
    ASSERT_EQ(ReplacementFile(Path("link")).Replace({"through the link\n"}), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(Path("link")));
    EXPECT_EQ(ReadFile(Path("d/fresh")), "through the link\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("d")), {}), 1);
    EXPECT_EQ(ReplacementFile(Path("missing/file")).Check(), ENOENT);
}

TEST_F(ReplacementFileTest, RegularOnlyNeverWritesThroughALinkPlantedBeforeOrDuring) {
    WriteFile(Path("victim"), "victim\n");
    ReplacementFile file(Path("sig"), ReplacementFile::Target::RegularOnly);
    // Planted while the content is written: the rename replaces the link itself.
    auto plant = [](int fd) { return symlink("victim", "sig") | WriteAll(fd, "new\n", 4); };
    EXPECT_EQ(file.Replace(plant), 0);
    EXPECT_EQ(ReadFile(Path("sig")) + ReadFile(Path("victim")), "new\nvictim\n");
    Shell("ln -sf victim sig");
    EXPECT_EQ(file.Replace({"through\n"}), ReplacementFile::NotRegular);
    EXPECT_EQ(ReadFile(Path("victim")), "victim\n");
}

// Under nohup SIGHUP is ignored, yet pending while held: it must not cost the manifest.
TEST_F(ReplacementFileTest, SignalTheProcessIgnoresDoesNotStopTheReplacement) {
    signal(SIGHUP, SIG_IGN);
    std::atomic<bool> done{false};
    std::thread sender([&done, replacing = pthread_self()] {
        for (; !done; usleep(100)) {
            pthread_kill(replacing, SIGHUP);
        }
    });
    std::string content(64 << 20, 'x');
    EXPECT_EQ(ReplacementFile(Path("m")).Replace({content}), 0);
    done = true;
    sender.join();
    signal(SIGHUP, SIG_DFL);
    EXPECT_EQ(std::filesystem::file_size(Path("m")), content.size());
}

// In a folder that others can write to, sticky as /tmp is, a user plants the file that root is
// about to write: it must neither become theirs to rewrite nor be destroyed unannounced.
TEST_F(ReplacementFileTest, FileOfAnotherUserIsRefusedAndOnePlantedDuringTheWriteBecomesOurs) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can make a file another user's";
    }
    const std::string user = std::to_string(UnprivilegedUser);
    Shell(
        "mkdir -m 1777 shared && echo theirs >shared/theirs && chmod 666 shared/theirs && "
        "chown " +
        user + ":" + user + " shared/theirs");
    for (auto target : {ReplacementFile::Target::Any, ReplacementFile::Target::RegularOnly}) {
        ReplacementFile file(Path("shared/theirs"), target);
        EXPECT_EQ(file.Check(), ReplacementFile::OwnedByOther);
        EXPECT_EQ(file.Replace({"ours\n"}), ReplacementFile::OwnedByOther);
        EXPECT_EQ(file.ErrorLine("metrics file", ReplacementFile::OwnedByOther),
                  "Error: refusing " + Path("shared/theirs") + ": owned by user " + user +
                      ", who could change it\n");
    }
    EXPECT_EQ(Shell("cat shared/theirs; stat -c '%u %a' shared/theirs; ls -A shared"),
              "theirs\n" + user + " 666\ntheirs\n");
    // Nor is a link of theirs followed, nor a pipe of theirs written to, which would hold the
    // run until they read it.
    Shell("echo victim >victim && ln -s ../victim shared/link && mkfifo shared/pipe && chown -h " +
          user + " shared/link shared/pipe");
    ReplacementFile link(Path("shared/link"));
    EXPECT_EQ(link.Check(), ReplacementFile::OwnedByOther);
    EXPECT_EQ(link.ErrorLine("manifest", link.Replace({"ours\n"})),
              "Error: refusing " + Path("shared/link") + ": link " + Path("shared/link") +
                  " is owned by user " + user + ", who could change it\n");
    EXPECT_EQ(ReplacementFile(Path("shared/pipe")).Replace({"ours\n"}),
              ReplacementFile::OwnedByOther);
    Shell("ln -s .. shared/up && chown -h " + user + " shared/up");
    EXPECT_EQ(ReplacementFile(Path("shared/up/victim")).Check(), ReplacementFile::OwnedByOther);
    EXPECT_EQ(ReadFile(Path("victim")), "victim\n");
    Shell("rm shared/link shared/pipe shared/up");
    // Planted after the file was judged: the rename takes the name, and the file is ours.
    auto plant = [&user](int fd) {
        Shell("echo planted >shared/late && chmod 666 shared/late && chown " + user +
              " shared/late");
        return WriteAll(fd, "ours\n", 5);
    };
    mode_t mask = umask(022);
    EXPECT_EQ(ReplacementFile(Path("shared/late")).Replace(plant), 0);
    umask(mask);
    EXPECT_EQ(Shell("cat shared/late; stat -c '%u %a' shared/late"), "ours\n0 644\n");
    // A file of ours keeps its mode and group.
    Shell("echo old >shared/ours && chmod 640 shared/ours && chgrp " + user + " shared/ours");
    EXPECT_EQ(ReplacementFile(Path("shared/ours")).Replace({"new\n"}), 0);
    EXPECT_EQ(Shell("cat shared/ours; stat -c '%u %g %a' shared/ours"),
              "new\n0 " + user + " 640\n");
}
