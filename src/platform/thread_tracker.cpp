#include "platform/thread_tracker.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <system_error>
#include <typeinfo>

namespace vellomar {

namespace {

// The report itself may fail (no memory for the line): the thread ends all the same.
void Report(const ThreadTracker::FaultReport& fault, const std::string& what) noexcept {
  if (!fault) return;
  try {
    fault("a thread ended by an unexpected fault: " + what);
  } catch (...) {
  }
}

std::string TypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> readable(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                   std::free);
  return status == 0 && readable ? readable.get() : type.name();
}

}  // namespace

std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& exception) {
    return TypeName(typeid(exception)) + ": " + exception.what();
  } catch (...) {
    return "an exception of an unknown type";
  }
}

std::shared_ptr<ThreadHandle> ThreadTracker::Start(Body body) {
  Reap();
  auto handle = std::make_shared<ThreadHandle>(stop_);
  std::lock_guard<std::mutex> guard(lock_);
  try {
    std::thread thread([handle, body = std::move(body), fault = fault_] {
      ThreadHandle::SetCurrent(handle.get());
      int exitCode = kFaultExitCode;
      try {
        exitCode = body(*handle);
      } catch (...) {
        Report(fault, CurrentExceptionText());
      }
      ThreadHandle::SetCurrent(nullptr);
      handle->MarkEnded(exitCode);
    });
    threads_.push_back(Tracked{handle, std::move(thread)});
  } catch (const std::system_error&) {
    return nullptr;
  }
  return handle;
}

std::shared_ptr<ThreadHandle> ThreadTracker::Run(Body body) {
  Reap();
  auto handle = std::make_shared<ThreadHandle>(stop_);
  std::lock_guard<std::mutex> guard(lock_);
  if (idle_ > jobs_.size()) {
    jobs_.push_back(Job{handle, std::move(body)});
    jobQueued_.notify_one();
    return handle;
  }
  // The kept thread's own handle only tells the reaper that it has ended.
  auto life = std::make_shared<ThreadHandle>(stop_);
  try {
    std::thread thread([this, life, job = Job{handle, std::move(body)}]() mutable {
      Keep(std::move(job));
      life->MarkEnded(0);
    });
    threads_.push_back(Tracked{life, std::move(thread)});
  } catch (const std::system_error&) {
    return nullptr;
  }
  return handle;
}

void ThreadTracker::Keep(Job job) {
  do {
    int exitCode = kFaultExitCode;
    ThreadHandle::SetCurrent(job.handle.get());
    try {
      exitCode = job.body(*job.handle);
    } catch (...) {
      Report(fault_, CurrentExceptionText());
    }
    ThreadHandle::SetCurrent(nullptr);
    // What the body captured goes before its handle says it ended: whoever waits for the end
    // may then destroy what those captures refer to.
    job.body = nullptr;
    job.handle->MarkEnded(exitCode);
    job.handle.reset();
  } while (NextJob(job));
}

bool ThreadTracker::NextJob(Job& job) {
  std::unique_lock<std::mutex> held(lock_);
  ++idle_;
  jobQueued_.wait_for(held, keptIdle_, [this] { return !jobs_.empty() || releasing_; });
  --idle_;
  if (jobs_.empty()) return false;
  job = std::move(jobs_.front());
  jobs_.pop_front();
  return true;
}

std::vector<ThreadTracker::Tracked> ThreadTracker::TakeEnded() {
  std::vector<Tracked> ended;
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (!it->handle->IsRunning() && it->thread.get_id() != std::this_thread::get_id()) {
      ended.push_back(std::move(*it));
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
  return ended;
}

void ThreadTracker::Reap() {
  // A thread marks itself ended as its very last step, so these joins return at once.
  for (Tracked& tracked : TakeEnded()) tracked.thread.join();
}

void ThreadTracker::JoinAll() {
  for (;;) {
    std::vector<Tracked> all;
    {
      std::lock_guard<std::mutex> guard(lock_);
      releasing_ = true;
      jobQueued_.notify_all();
      all.swap(threads_);
    }
    if (all.empty()) break;
    for (Tracked& tracked : all) tracked.thread.join();
  }
  std::lock_guard<std::mutex> guard(lock_);
  releasing_ = false;
}

size_t ThreadTracker::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return threads_.size();
}

size_t ThreadTracker::IdleCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return idle_;
}

}  // namespace vellomar
