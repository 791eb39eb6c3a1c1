// Plain file I/O that every part of the program shares: a descriptor that closes itself,
// writing or reading a whole buffer whatever the system cuts it into, and the file a path names.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1);
    // Closes the descriptor now; 0, or the errno of close(2), which can report a failed write.
    int Close();

  private:
    int fd_ = -1;
};

// Writes all `size` bytes, going on after short writes and interrupted calls; 0 or an errno.
int WriteAll(int fd, const void* data, std::size_t size);

// Appends everything left to read from `fd` to `bytes`, going on after short reads and
// interrupted calls; 0 or an errno. At most `limit` bytes are read: more is EFBIG.
int ReadAll(int fd, std::string& bytes, std::size_t limit);

// The file `path` names: a symbolic link followed to the file it points at (a link that leads
// nowhere is kept), any other path as given.
std::string FinalTarget(const std::string& path);
// Whether two paths name the same file: their absolute, lexically normal forms, with the links
// of the directories that exist resolved, are equal. One that cannot be resolved is no match.
bool SameFile(const std::string& first, const std::string& second);
