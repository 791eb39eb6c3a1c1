#include "engine/progress.h"

#include <fmt/core.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>
#include <system_error>

namespace {

// Often enough to look live, rarely enough to cost nothing.
constexpr std::chrono::milliseconds Interval{250};

constexpr double MiB = 1024.0 * 1024.0;

// What fits on a row of the terminal on stderr, less one column: a line that reached the last
// one would wrap on some terminals, and a carriage return would then go back to the wrong row.
// 0 when stderr is no terminal.
size_t Width() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        return 0;
    }
    return size.ws_col - 1u;
}

}  // namespace

std::string FormatProgress(const ProgressFigures& figures, size_t width) {
    int64_t seconds = figures.millis / 1000;
    std::string elapsed = seconds < 3600 ? fmt::format("{}:{:02}", seconds / 60, seconds % 60)
                                         : fmt::format("{}:{:02}:{:02}", seconds / 3600,
                                                       seconds / 60 % 60, seconds % 60);
    std::string text = fmt::format(
        "[{}] {} entries, {} files hashed ({:.1f} MiB), {:.1f} MiB/s", elapsed, figures.entries,
        figures.hashed, static_cast<double>(figures.bytes) / MiB, figures.bytesPerSecond / MiB);
    if (figures.cache) {
        text += fmt::format(", {} reused", figures.reused);
    }
    if (width != 0 && text.size() > width) {
        text.resize(width);
    }
    return text;
}

void ProgressLine::Start(bool cache) {
    if (mode_ == ProgressMode::Hidden || (mode_ == ProgressMode::Auto && !isatty(STDERR_FILENO))) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    cache_ = cache;
    start_ = Clock::now();
    older_ = {start_, 0};
    newer_ = older_;
    try {
        timer_ = std::thread(&ProgressLine::Tick, this);
    } catch (const std::system_error&) {
        // A system short of threads runs the workers all the same, without the line.
        return;
    }
    shown_ = true;
    Draw();
}

void ProgressLine::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!shown_) {
            return;
        }
        Erase();
        shown_ = false;
    }
    stopping_.notify_all();
    timer_.join();
}

void ProgressLine::Print(std::ostream& stream, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) {
        Erase();
    }
    stream << text;
    if (shown_) {
        Draw();
    }
}

void ProgressLine::Draw() {
    Clock::time_point now = Clock::now();
    int64_t bytes = counts.bytes.load(std::memory_order_relaxed);
    if (now - newer_.time >= std::chrono::seconds(1)) {
        older_ = newer_;
        newer_ = {now, bytes};
    }
    ProgressFigures figures;
    figures.millis = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
    figures.entries = counts.entries.load(std::memory_order_relaxed);
    figures.hashed = counts.hashed.load(std::memory_order_relaxed);
    figures.bytes = bytes;
    double seconds = std::chrono::duration<double>(now - older_.time).count();
    figures.bytesPerSecond = seconds > 0 ? static_cast<double>(bytes - older_.bytes) / seconds : 0;
    figures.cache = cache_;
    figures.reused = counts.reused.load(std::memory_order_relaxed);
    std::string text = FormatProgress(figures, Width());
    size_t length = text.size();
    // Spaces cover what is left of a longer line drawn before.
    std::cerr << '\r' + text + std::string(drawn_ > length ? drawn_ - length : 0, ' ');
    drawn_ = length;
}

void ProgressLine::Erase() {
    std::cerr << '\r' + std::string(drawn_, ' ') + '\r';
    drawn_ = 0;
}

void ProgressLine::Tick() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_.wait_for(lock, Interval, [this] { return !shown_; })) {
        Draw();
    }
}
