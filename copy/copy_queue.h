// The entries handed from the walk to the copy's workers: a queue of bounded length, so that
// what waits in it (names, a reference to their folder) stays small however wide a folder is.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace qelrestore::posix {

template <typename Task>
class WorkQueue {
 public:
  explicit WorkQueue(size_t capacity) : capacity_(capacity) {}

  // False when the queue is full: the caller does the work itself.
  bool TryPush(Task&& task) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (tasks_.size() >= capacity_) return false;
      tasks_.push_back(std::move(task));
    }
    changed_.notify_one();
    return true;
  }

  bool TryPop(Task& task) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return PopLocked(task);
  }

  // Waits for a task; false once the queue is closed and empty.
  bool Pop(Task& task) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.wait(lock, [this] { return closed_ || !tasks_.empty(); });
    --waiting_;
    return PopLocked(task);
  }

  // Waits until a task is there (true, the task taken) or `done` holds (false). `done` is asked
  // under the queue's lock, after every Notify.
  template <typename Done>
  bool PopUnless(Task& task, Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.wait(lock, [&] { return !tasks_.empty() || done(); });
    --waiting_;
    return PopLocked(task);
  }

  // Wakes the threads waiting, after something a `done` may ask has changed.
  void Notify() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (waiting_ == 0) return;
    }
    changed_.notify_all();
  }

  void Close() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

 private:
  bool PopLocked(Task& task) {
    if (tasks_.empty()) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
    return true;
  }

  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  size_t waiting_ = 0;
  bool closed_ = false;
};

}  // namespace qelrestore::posix
