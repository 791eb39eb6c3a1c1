// One libmagic handle, owned by one worker thread for its whole life: it tells the
// file-type description of a path. Every libmagic failure ends the whole process.
#pragma once

#include <magic.h>

#include <string>

class MagicClassifier {
  public:
    // Opens and loads the default database; on failure reports and ends the process.
    MagicClassifier();
    ~MagicClassifier();
    MagicClassifier(const MagicClassifier&) = delete;
    MagicClassifier& operator=(const MagicClassifier&) = delete;

    // The description of the path itself (a symbolic link is described as a link); ends the
    // process when libmagic gives none.
    std::string Describe(const std::string& path);

  private:
    magic_t cookie_;
};
