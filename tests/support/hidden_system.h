// A private mount namespace for one child process in which each built-in signing directory
// is an empty tmpfs holding only the files the program needs to start (its shared libraries
// and the libmagic database), so that a generate run walks only the test's own files.
#pragma once

#include <map>
#include <string>
#include <vector>

struct HiddenSystemPlan {
    struct Kept {
        std::string path;     // below the covered directory
        std::string symlink;  // the link's text when the path is a symbolic link
    };
    struct Cover {
        std::string directory;  // a real directory to cover
        std::vector<Kept> keep;
        std::string replacement;  // a directory shown in its place instead of an empty one
    };
    std::vector<Cover> covers;
    std::string staging;  // where the covered directories stay reachable while setting up
};

// Worked out in the parent, before fork: everything after fork is plain system calls.
HiddenSystemPlan PlanHiddenSystem(const std::string& binary,
                                  const std::map<std::string, std::string>& replacements);
// Called in the forked child; false when the namespace cannot be made.
bool EnterHiddenSystem(const HiddenSystemPlan& plan);
