// A thread of the program's own that owns its queue of jobs: the jobs handed
// to it run one after another, in the order handed, and the thread ends one
// way. Either it is joined once its jobs have ended, or a job a disk holds
// inside the kernel outlasts the bound its owner gives it: the thread then
// goes to the keeper (HeldWorkers), whom the process's end asks and names,
// the jobs not begun are dropped (and counted, for the owner to say), and
// the next job handed makes a new thread. Nothing is left of a give-up but
// the thread the disk holds: a later start runs its jobs.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class Worker {
 public:
  // `name` names the thread for debuggers and `top -H` (15 characters kept).
  explicit Worker(std::string name);
  // A thread still there is joined when its jobs have ended, else left to
  // end with the process (what it runs keeps what it uses).
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Hands a job over, after every job handed before it; the thread is made
  // at the first job (and again after a finish). False when no thread could
  // be made: the job is not kept. Any thread.
  bool Post(std::function<void()> job);

  // Jobs handed and not ended, the running one included. Any thread.
  int32_t Left() const;

  // Waits, at most `bound` seconds, until every job handed has ended; true
  // when they have. The thread stays for later jobs.
  bool WaitIdle(double bound) const;

  // How a finish ended.
  struct Ended {  // one thread: value
    bool joined = true;    // false: handed to the keeper
    int32_t dropped = 0;   // jobs handed and never begun
  };
  // Ends the thread: waits for every job handed for as long as they move
  // on. When no job ends for `idleSeconds`, or `tick` (called about every
  // 50 ms on the waiting thread, when given) says false, the thread goes to
  // the keeper and the jobs not begun are dropped.
  Ended Finish(double idleSeconds, const std::function<bool()>& tick = nullptr);

  // What a worker's thread shares with its owner: its queue and its state.
  struct Core;

 private:
  std::string name_;  // one thread: maker
  mutable std::mutex life_;  // the thread's making and end, and core_ with it
  // one thread: holder of life_
  std::shared_ptr<Core> core_;
  std::thread thread_;
};

// The keeper of the worker threads a disk held past their bound: each is
// joined once its job comes back (at the next look), or ends with the
// process. How many it still holds, and their names. Any thread.
int32_t HeldWorkers();
std::vector<std::string> HeldWorkerNames();

}  // namespace platform
