// The live status line of a generate or check run: the counts that workers add to as they go,
// the line drawn from them on standard error a few times a second while the workers run, and
// the lock that every line the run prints meanwhile goes through, so that none is garbled.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

// --progress, --no-progress, or neither: then the line is shown when stderr is a terminal.
enum class ProgressMode { Auto, Shown, Hidden };

// What the run has done so far. Workers only add to them, relaxed: nothing else is ordered by
// them, and the line reads them from its own thread. A cache line of their own keeps their adds
// from contending with anything else the workers touch.
struct alignas(64) ProgressCounts {
    std::atomic<int64_t> entries{0};  // walked, and manifest entries checked
    std::atomic<int64_t> hashed{0};   // files whose content was read whole
    std::atomic<int64_t> bytes{0};    // read to hash them
    std::atomic<int64_t> reused{0};   // files whose cache record served instead
};

// One state of the line, as it is drawn.
struct ProgressFigures {
    int64_t millis = 0;  // since the workers started
    int64_t entries = 0;
    int64_t hashed = 0;
    int64_t bytes = 0;
    double bytesPerSecond = 0;
    bool cache = false;  // whether the reuse count is shown
    int64_t reused = 0;
};

// The line's text, cut to `width` characters when that is not 0.
std::string FormatProgress(const ProgressFigures& figures, size_t width);

class ProgressLine {
  public:
    explicit ProgressLine(ProgressMode mode) : mode_(mode) {}
    ~ProgressLine() { Stop(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Shows the line until Stop, when the mode and standard error say so; `cache` says whether
    // the run keeps a cache.
    void Start(bool cache);
    // Erases the line for good.
    void Stop();
    // Writes `text`, whole lines, on `stream` (std::cout or std::cerr). While the line is shown
    // it is erased first and drawn again after, so that both land whole on a shared terminal.
    void Print(std::ostream& stream, const std::string& text);

    ProgressCounts counts;

  private:
    using Clock = std::chrono::steady_clock;
    struct Sample {
        Clock::time_point time;
        int64_t bytes = 0;
    };

    void Draw();
    void Erase();
    void Tick();

    const ProgressMode mode_;
    bool cache_ = false;
    std::mutex mutex_;
    std::condition_variable stopping_;
    bool shown_ = false;
    size_t drawn_ = 0;  // characters of the line on the terminal now
    Clock::time_point start_;
    // The read rate is taken over the last second or two: older_ is at least a second old.
    Sample older_;
    Sample newer_;
    std::thread timer_;
};
