// Worker threads for the writers: a fixed pool that runs jobs, and an ordered queue whose
// results come back in the order the jobs were given, whichever worker finished first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The number of workers a count of 0 stands for: one per core.
int DefaultWorkerCount();

// A fixed set of threads taking jobs from one queue. With one worker no thread is started and
// every job runs on the caller's thread when it is given (the sequential run of old).
class TWorkerPool {
 public:
  // Workers <= 0 means DefaultWorkerCount().
  explicit TWorkerPool(int Workers);
  // Waits for the jobs already queued, then joins the threads.
  ~TWorkerPool();
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  int Workers() const { return FWorkers; }
  // Queues Job (or runs it at once with one worker). Jobs must not throw; wrap them (the
  // ordered queue does).
  void Run(std::function<void()> Job);
  // Tells jobs that have not started yet to return at once (they check Aborted()); cleared by
  // Reset() at the start of a run.
  void Abort() { FAborted = true; }
  bool Aborted() const { return FAborted; }
  void Reset() { FAborted = false; }

 private:
  void WorkerLoop();

  int FWorkers = 1;
  std::vector<std::thread> FThreads;
  std::deque<std::function<void()>> FQueue;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStopping = false;
  std::atomic<bool> FAborted{false};
};

// Jobs whose results are taken in the order they were submitted. The caller bounds the work in
// flight by taking results (Next) before submitting more than it wants held in memory.
template <class T>
class TOrderedJobs {
 public:
  explicit TOrderedJobs(TWorkerPool& Pool) : FPool(Pool) {}
  // Waits for every job still running: none may outlive what it refers to.
  ~TOrderedJobs() { Drain(); }
  TOrderedJobs(const TOrderedJobs&) = delete;
  TOrderedJobs& operator=(const TOrderedJobs&) = delete;

  // Queues Job; an exception it raises is raised again by the Next that takes its result.
  void Submit(std::function<T()> Job) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(Job));
    FPending.push_back(task->get_future());
    FPool.Run([task] { (*task)(); });
  }
  // Jobs submitted and not yet taken.
  size_t Pending() const { return FPending.size(); }
  // The oldest job's result, waiting for it. Pending() must be above 0.
  T Next() {
    std::future<T> f = std::move(FPending.front());
    FPending.pop_front();
    return f.get();
  }
  // Waits for every pending job and drops the results.
  void Drain() {
    for (std::future<T>& f : FPending)
      if (f.valid()) f.wait();
    FPending.clear();
  }

 private:
  TWorkerPool& FPool;
  std::deque<std::future<T>> FPending;
};
