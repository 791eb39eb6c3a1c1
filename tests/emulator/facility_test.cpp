#include "emulator/facility.h"

#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

class FacilitySessionTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
    }
    // The state as the session answers the query, or the negative errno.
    int32_t State() {
        int32_t state = 0;
        unsigned char argument[sizeof state];
        int error = session_.Apply(Path("facility"), GetState, argument, caller_);
        std::memcpy(&state, argument, sizeof state);
        return error == 0 ? state : -error;
    }
    // The descriptors of this process on files of the facility, each with the file it names
    // (" (deleted)" after the name of one removed).
    std::map<int, std::string> FacilityDescriptors() const {
        std::map<int, std::string> held;
        for (const auto& link : fs::directory_iterator("/proc/self/fd")) {
            std::error_code gone;
            std::string target = fs::read_symlink(link, gone);
            if (target.rfind(Path("facility/"), 0) == 0) {
                held[std::stoi(link.path().filename())] = target;
            }
        }
        return held;
    }

    CallerTrust caller_{"/proc/self/exe"};
    FacilitySession session_;
};

// Between requests a session keeps the control file it read, and answers from it as long as
// that file is in place: no change writes into it (one does here, which the session does not
// see). A change, which replaces it, or a new boot, which replaces the lock as well, is seen at
// the next request, with the files in place.
TEST_F(FacilitySessionTest, AnswersFromTheControlItReadUntilAChangeOrABootReplacesIt) {
    EXPECT_EQ(State(), 0);
    std::string control = ReadFile(Path("facility/control"));
    WriteFile(Path("facility/control"), control.replace(control.find("state 0"), 7, "state 3"));
    EXPECT_EQ(State(), 0);
    ASSERT_EQ(RunEmulator({"set-state", "5"}).status, 0);
    EXPECT_EQ(State(), 5);
    BootFacility();
    EXPECT_EQ(State(), 0);
    std::map<int, std::string> held = FacilityDescriptors();
    EXPECT_EQ(held.size(), 2u);
    for (const auto& [fd, file] : held) {
        EXPECT_TRUE(file == Path("facility/lock") || file == Path("facility/control")) << file;
    }
    RunEmulator({"shutdown"});
    EXPECT_EQ(State(), -ENXIO);
    session_.Close();
    EXPECT_TRUE(FacilityDescriptors().empty());
}

// A forked child shares its parent's open files, and a lock taken on one is taken for both: the
// child's requests take the lock on a file it opened itself, and so wait while the parent holds
// it.
TEST_F(FacilitySessionTest, AForkedChildTakesTheLockOnAFileOfItsOwn) {
    ASSERT_EQ(State(), 0);
    int lock = -1;
    for (const auto& [fd, file] : FacilityDescriptors()) {
        lock = file == Path("facility/lock") ? fd : lock;
    }
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    pid_t child = fork();
    if (child == 0) {
        _exit(State() == 0 ? 0 : 1);
    }
    int status = 0;
    usleep(200000);
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the child did not wait for the lock";
    flock(lock, LOCK_UN);
    EXPECT_EQ(WaitForExit(child), 0);
}
