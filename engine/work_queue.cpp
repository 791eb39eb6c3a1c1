#include "engine/work_queue.h"

void WorkQueue::Push(Piece piece) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pieces_.push_back(std::move(piece));
    }
    changed_.notify_one();
}

bool WorkQueue::Take(Piece& piece) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A running piece may still queue more: wait for it rather than end early.
    changed_.wait(lock, [this] { return stopped_ || !pieces_.empty() || running_ == 0; });
    if (stopped_ || pieces_.empty()) {
        return false;
    }
    piece = std::move(pieces_.back());
    pieces_.pop_back();
    ++running_;
    return true;
}

void WorkQueue::Done() {
    bool finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        finished = running_ == 0 && pieces_.empty();
    }
    if (finished) {
        changed_.notify_all();
    }
}

void WorkQueue::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        pieces_.clear();
    }
    changed_.notify_all();
}
