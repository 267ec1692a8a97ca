#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "devices/device_table.h"

namespace {

struct Job {
  const std::function<void()>* step;
  bool done = false;
};

}  // namespace

struct TableThread::State {
  std::mutex mutex;
  std::condition_variable queued;
  std::condition_variable finished;
  std::deque<Job*> jobs;
  bool closing = false;
  std::thread::id owner;
  std::atomic<int64_t> longest_ns{0};
  std::thread thread;
};

namespace {

void serve(TableThread::State* s);

}  // namespace

TableThread::TableThread() : state_(std::make_shared<State>()) {
  State* s = state_.get();
  std::unique_lock<std::mutex> lock(s->mutex);
  s->thread = std::thread([s] { serve(s); });
  s->owner = s->thread.get_id();
}

TableThread::~TableThread() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->closing = true;
  }
  state_->queued.notify_all();
  state_->thread.join();
}

int TableThread::run(const std::function<void()>& step) {
  State* s = state_.get();
  if (std::this_thread::get_id() == s->owner) {
    step();
    return 1;
  }
  Job job{&step};
  std::unique_lock<std::mutex> lock(s->mutex);
  if (s->closing) return 0;
  s->jobs.push_back(&job);
  s->queued.notify_one();
  s->finished.wait(lock, [&] { return job.done; });
  return 1;
}

int64_t TableThread::longest_step_ns() const { return state_->longest_ns.load(); }

void TableThread::reset_longest_step() { state_->longest_ns.store(0); }

namespace {

void serve(TableThread::State* s) {
  std::unique_lock<std::mutex> lock(s->mutex);
  for (;;) {
    s->queued.wait(lock, [&] { return s->closing || !s->jobs.empty(); });
    if (s->jobs.empty()) return;  // closing and nothing left
    Job* job = s->jobs.front();
    s->jobs.pop_front();
    lock.unlock();
    auto start = std::chrono::steady_clock::now();
    (*job->step)();
    int64_t took = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    if (took > s->longest_ns.load()) s->longest_ns.store(took);
    lock.lock();
    job->done = true;
    s->finished.notify_all();
  }
}

}  // namespace
