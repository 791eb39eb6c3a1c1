#include "manifest/reader.h"

#include <err.h>
#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/normal_path.h"
#include "common/printable_path.h"

bool ManifestReader::Open(const std::string& path) {
    if (OpenSilently(path) != 0) {
        warnx("cannot open manifest %s", PrintablePath(path).c_str());
        return false;
    }
    return true;
}

int ManifestReader::OpenSilently(const std::string& path) {
    path_ = path;
    file_.Reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file_.Valid()) {
        return errno;
    }
    buffer_.reset(new char[2 * ManifestLineKept]);
    return 0;
}

void ManifestReader::Use(const std::string& path, std::string_view bytes) {
    path_ = path;
    file_.Reset();
    bytes_ = bytes;
}

bool ManifestReader::ReadLine(ManifestEntry& entry, LineOutcome& outcome,
                              std::vector<std::string>& warnings) {
    std::string_view line;
    if (NextLine(line)) {
        outcome = ParseManifestLine(line, lineNumber_, entry, warnings, tail_ ? &*tail_ : nullptr);
        return true;
    }
    if (readError_ == 0) {
        return false;
    }
    outcome = LineOutcome::Error;
    warnings.assign(1, fmt::format("cannot read manifest {}: {}", PrintablePath(path_),
                                   std::strerror(std::exchange(readError_, 0))));
    return true;
}

bool ManifestReader::NextEntry(ManifestEntry& entry, int& errors) {
    for (LineOutcome outcome; ReadLine(entry, outcome, warnings_);) {
        for (const std::string& warning : warnings_) {
            warnx("%s", warning.c_str());
        }
        if (outcome == LineOutcome::Error) {
            ++errors;
        }
        if (outcome == LineOutcome::Entry) {
            return true;
        }
    }
    return false;
}

std::string ManifestReader::FirstBadLine(std::string_view bytes) {
    ManifestReader reader;
    reader.Use("", bytes);
    ManifestEntry entry;
    for (std::string_view line; reader.NextLine(line);) {
        LineOutcome outcome = ParseManifestLine(line, reader.lineNumber_, entry, reader.warnings_);
        if (outcome == LineOutcome::Error) {
            return reader.warnings_.back();
        }
        if (outcome == LineOutcome::Entry && !IsNormalPath(entry.path)) {
            return fmt::format("line {}: path not in normal form: {}", reader.lineNumber_,
                               PrintablePath(entry.path));
        }
    }
    return "";
}

bool ManifestReader::NextLine(std::string_view& line) {
    tail_.reset();
    if (!file_.Valid()) {
        if (bytes_.empty()) {
            return false;
        }
        size_t end = bytes_.find('\n');
        line = bytes_.substr(0, end);
        bytes_.remove_prefix(end == std::string_view::npos ? bytes_.size() : end + 1);
        ++lineNumber_;
        return true;
    }
    char* data = buffer_.get();
    for (;;) {
        // A line feed further on than a kept line reaches ends a line that is cut all the same.
        size_t limit = std::min(end_, begin_ + ManifestLineKept + 1);
        if (auto* feed =
                static_cast<char*>(std::memchr(data + searched_, '\n', limit - searched_))) {
            line = std::string_view(data + begin_, static_cast<size_t>(feed - data) - begin_);
            begin_ = searched_ = static_cast<size_t>(feed - data) + 1;
            break;
        }
        searched_ = limit;
        if (end_ - begin_ > ManifestLineKept) {
            Compact();
            line = std::string_view(data, ManifestLineKept);
            tail_.emplace(data[ManifestLineKept]);
            // The tail goes through the buffer's second half, never over the bytes kept.
            for (size_t at = ManifestLineKept;; at = ManifestLineKept) {
                auto* feed = static_cast<char*>(std::memchr(data + at, '\n', end_ - at));
                size_t stop = feed != nullptr ? static_cast<size_t>(feed - data) : end_;
                tail_->Note(std::string_view(data + at, stop - at));
                if (feed != nullptr || atEnd_) {
                    begin_ = searched_ = std::min(stop + 1, end_);
                    break;
                }
                if (!Fill(ManifestLineKept)) {
                    return false;
                }
            }
            break;
        }
        if (atEnd_) {
            if (begin_ == end_) {
                return false;
            }
            line = std::string_view(data + begin_, end_ - begin_);
            begin_ = searched_ = end_;
            break;
        }
        Compact();
        if (!Fill(end_)) {
            return false;
        }
    }
    ++lineNumber_;
    return true;
}

void ManifestReader::Compact() {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    searched_ -= begin_;
    begin_ = 0;
}

bool ManifestReader::Fill(size_t at) {
    ssize_t count;
    do {
        count = read(file_.Get(), buffer_.get() + at, 2 * ManifestLineKept - at);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        readError_ = errno;
        readFailed_ = true;
        atEnd_ = true;
        begin_ = searched_ = end_ = 0;
        return false;
    }
    atEnd_ = count == 0;
    end_ = at + static_cast<size_t>(count);
    return true;
}
