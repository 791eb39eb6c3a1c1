// The pieces of work that a run's workers share: any worker takes any piece, the one queued
// last first, so that a walk goes deep before it goes wide and keeps little in memory. The
// queue knows how many pieces are still running, which may queue more, and so when the work
// is done.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

class SigningWorker;

// Files signed or checked by one piece: a few dozen keep every worker busy to the last file
// and cost little in queueing.
constexpr std::size_t SliceSize = 32;

class WorkQueue {
  public:
    using Piece = std::function<void(SigningWorker&)>;

    void Push(Piece piece);
    // Waits for a piece; false when there is none left to run, or the queue was stopped.
    bool Take(Piece& piece);
    // Tells that a piece taken has been run, with every piece it queued already pushed.
    void Done();
    // Hands out no more pieces: the pieces running finish, the others are dropped.
    void Stop();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Piece> pieces_;
    std::size_t running_ = 0;
    bool stopped_ = false;
};
