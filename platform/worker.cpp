#include "platform/worker.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <utility>

#include "platform/threads.h"

namespace platform {

// one thread: holder of lock
struct Worker::Core {
  std::mutex lock;
  std::condition_variable wake;   // a job came, or the end
  std::condition_variable moved;  // a job ended, or the thread did
  std::deque<std::function<void()>> jobs;
  std::string name;
  int32_t left = 0;        // jobs handed and not ended
  uint64_t ended = 0;      // jobs ended so far
  bool running = false;    // the thread has not returned
  bool finish = false;     // end once the queue is empty
  bool abandoned = false;  // handed to the keeper: run nothing more
};

namespace {

void RunJobs(const std::shared_ptr<Worker::Core>& core) {
  ThreadSetName(core->name.c_str());
  Worker::Core& c = *core;
  std::unique_lock<std::mutex> hold(c.lock);
  for (;;) {
    c.wake.wait(hold, [&] { return !c.jobs.empty() || c.finish || c.abandoned; });
    if (c.abandoned || c.jobs.empty()) break;
    std::function<void()> job = std::move(c.jobs.front());
    c.jobs.pop_front();
    hold.unlock();
    job();
    job = nullptr;  // what it holds goes on this thread, before the count says it ended
    hold.lock();
    --c.left;
    ++c.ended;
    c.moved.notify_all();
  }
  c.running = false;
  c.moved.notify_all();
}

// The threads a disk held past their bound, each with what it shares.
// one thread: holder of lock
struct Keeper {
  // one thread: value
  struct Kept {
    std::shared_ptr<Worker::Core> core;
    std::thread thread;
  };
  std::mutex lock;
  std::vector<Kept> kept;

  // Joins those whose job came back. Under the lock.
  void Reap() {
    for (auto it = kept.begin(); it != kept.end();) {
      bool running;
      {
        std::lock_guard<std::mutex> hold(it->core->lock);
        running = it->core->running;
      }
      if (running) {
        ++it;
        continue;
      }
      it->thread.join();
      it = kept.erase(it);
    }
  }
  ~Keeper() {
    std::lock_guard<std::mutex> hold(lock);
    Reap();
    // Still in the disk: it ends with the process, its core its own.
    for (Kept& k : kept) k.thread.detach();
  }
};
Keeper g_keeper;

}  // namespace

Worker::Worker(std::string name) : name_(std::move(name)) {}

Worker::~Worker() {
  std::lock_guard<std::mutex> hold(life_);
  if (!thread_.joinable()) return;
  bool idle;
  {
    std::lock_guard<std::mutex> c(core_->lock);
    core_->finish = true;
    idle = core_->left == 0;
    core_->wake.notify_all();
  }
  if (idle)
    thread_.join();
  else
    thread_.detach();  // the process ends: its core is the thread's own
}

bool Worker::Post(std::function<void()> job) {
  std::lock_guard<std::mutex> hold(life_);
  if (!thread_.joinable()) {
    core_ = std::make_shared<Core>();
    core_->name = name_;
    core_->running = true;
    try {
      thread_ = std::thread([core = core_] { RunJobs(core); });
    } catch (...) {
      core_.reset();
      return false;
    }
  }
  std::lock_guard<std::mutex> c(core_->lock);
  core_->jobs.push_back(std::move(job));
  ++core_->left;
  core_->wake.notify_all();
  return true;
}

int32_t Worker::Left() const {
  std::lock_guard<std::mutex> hold(life_);
  if (!core_) return 0;
  std::lock_guard<std::mutex> c(core_->lock);
  return core_->left;
}

bool Worker::WaitIdle(double bound) const {
  std::shared_ptr<Core> core;
  {
    std::lock_guard<std::mutex> hold(life_);
    core = core_;
  }
  if (!core) return true;
  std::unique_lock<std::mutex> c(core->lock);
  return core->moved.wait_for(c, std::chrono::duration<double>(std::max(0.0, bound)),
                              [&] { return core->left == 0; });
}

Worker::Ended Worker::Finish(double idleSeconds, const std::function<bool()>& tick) {
  std::lock_guard<std::mutex> hold(life_);
  Ended out;
  if (!thread_.joinable()) return out;
  Core& c = *core_;
  {
    std::unique_lock<std::mutex> lock(c.lock);
    c.finish = true;
    c.wake.notify_all();
    uint64_t ended = c.ended;
    double still = idleSeconds;
    while (c.running) {
      // An idle thread only has its way out ahead of it: no disk holds that.
      if (c.left == 0) {
        c.moved.wait(lock, [&] { return !c.running; });
        break;
      }
      const double step = tick ? std::min(0.05, still) : still;
      c.moved.wait_for(lock, std::chrono::duration<double>(std::max(0.0, step)),
                       [&] { return !c.running || c.ended != ended; });
      if (!c.running) break;
      if (c.ended != ended) {
        ended = c.ended;
        still = idleSeconds;
      } else {
        still -= step;
      }
      bool go = still > 0;
      if (go && tick) {
        lock.unlock();
        go = tick();
        lock.lock();
        if (!c.running) break;
      }
      if (go) continue;
      // Held: the jobs not begun go, the thread to the keeper.
      out.joined = false;
      out.dropped = static_cast<int32_t>(c.jobs.size());
      c.left -= out.dropped;
      c.jobs.clear();
      c.abandoned = true;
      c.wake.notify_all();
      break;
    }
  }
  if (out.joined) {
    thread_.join();
  } else {
    std::lock_guard<std::mutex> k(g_keeper.lock);
    g_keeper.kept.push_back({core_, std::move(thread_)});
  }
  core_.reset();
  return out;
}

int32_t HeldWorkers() {
  std::lock_guard<std::mutex> hold(g_keeper.lock);
  g_keeper.Reap();
  return static_cast<int32_t>(g_keeper.kept.size());
}

std::vector<std::string> HeldWorkerNames() {
  std::lock_guard<std::mutex> hold(g_keeper.lock);
  g_keeper.Reap();
  std::vector<std::string> names;
  for (const Keeper::Kept& k : g_keeper.kept) names.push_back(k.core->name);
  return names;
}

}  // namespace platform
