// libmagic for a run: the compiled database, mapped once and shared read-only by every
// worker's handle, and the handle each worker thread owns to tell the file-type description
// of an open file; and the description libmagic gives a symbolic link.
#pragma once

#include <magic.h>
#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

class MagicDatabase {
  public:
    // Maps the database files that libmagic loads by default ($MAGIC, or its built-in list).
    // When they are not all compiled, nothing is shared and each handle loads its own.
    MagicDatabase();
    ~MagicDatabase();
    MagicDatabase(const MagicDatabase&) = delete;
    MagicDatabase& operator=(const MagicDatabase&) = delete;

    // The libmagic version and the status of every database file: two runs describe files
    // alike when this is the same.
    const std::string& Identity() const { return identity_; }

  private:
    friend class MagicClassifier;
    std::vector<void*> buffers_;
    std::vector<size_t> sizes_;
    bool shared_ = false;
    std::string identity_;
};

class MagicClassifier {
  public:
    MagicClassifier() = default;
    ~MagicClassifier();
    MagicClassifier(const MagicClassifier&) = delete;
    MagicClassifier& operator=(const MagicClassifier&) = delete;

    // Opens a handle and loads the database; "" or the error line to report.
    std::string Open(const MagicDatabase& database);
    // The description of the regular file open at `fd`, whose status is `status`: the same as
    // libmagic gives for its path. `path` names it in the error line. false, with the error
    // line to report in `error`, when libmagic gives none.
    bool Describe(int fd, const struct stat& status, const std::string& path,
                  std::string& description, std::string& error);

  private:
    magic_t cookie_ = nullptr;
    size_t bytesMax_ = 0;    // libmagic's own limit of the bytes it reads of a file
    size_t bytesAsked_ = 0;  // the limit the handle holds now
};

// The description libmagic gives for the path of the symbolic link `name` in the directory open
// at `directory`, read without following it: "symbolic link to TARGET", or "broken symbolic
// link to TARGET" when TARGET names nothing from there. false when `name` is no link.
bool DescribeLink(int directory, const std::string& name, std::string& description);
