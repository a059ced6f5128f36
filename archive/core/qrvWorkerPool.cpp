// The writers' worker pool.
#include "archive/core/qrvWorkerPool.h"

int DefaultWorkerCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : int(n);
}

TWorkerPool::TWorkerPool(int Workers) : FWorkers(Workers <= 0 ? DefaultWorkerCount() : Workers) {
  if (FWorkers == 1) return;
  for (int i = 0; i < FWorkers; ++i) FThreads.emplace_back([this] { WorkerLoop(); });
}

TWorkerPool::~TWorkerPool() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  for (std::thread& t : FThreads) t.join();
}

void TWorkerPool::Run(std::function<void()> Job) {
  if (FThreads.empty()) {
    Job();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FQueue.push_back(std::move(Job));
  }
  FWake.notify_one();
}

void TWorkerPool::WorkerLoop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(FMutex);
      FWake.wait(lock, [this] { return FStopping || !FQueue.empty(); });
      // Queued jobs still run when stopping: an ordered queue may be waiting for them.
      if (FQueue.empty()) return;
      job = std::move(FQueue.front());
      FQueue.pop_front();
    }
    job();
  }
}
