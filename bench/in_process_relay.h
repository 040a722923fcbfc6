#pragma once

// The relay as the program runs it, inside the benchmark's process: the settings, the log in
// a temporary application directory, a window thread with in-memory controls, the thread
// tracker, MainWindow and the listener on a port the system picks. Sessions start the
// dispatcher (StartClient) after each stored message, as in the program. Everything is
// stopped, joined and removed at destruction.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "common/app_directory.h"
#include "common/flags.h"
#include "control/main_window.h"
#include "control/memory_controls.h"
#include "control/settings.h"
#include "platform/thread_executor.h"
#include "platform/thread_tracker.h"
#include "smtp_server/listener.h"

class InProcessRelay {
 public:
  // `nextRelay` is the SMTP setting ("127.0.0.1:port"), empty for none.
  InProcessRelay(int input, const std::string& nextRelay)
      : folder_(std::filesystem::temp_directory_path() / ("vellomar-bench-" + std::to_string(::getpid()))) {
    using namespace vellomar;
    std::filesystem::create_directories(folder_);
    SetAppDirectory(folder_.string());
    ::setenv("VELLOMAR_SMTP_PORT", "0", 1);
    TheSettings().Input = input;
    TheSettings().Logsize = 1024;
    TheSettings().SMTP.Set(nextRelay);
    TheSettings().REAL_RELAY = false;
    mainWindow_.OpenLog();
    listener_ = threads_.Start([this](ThreadHandle& self) { return ListenerThread(mainWindow_, self); });
    for (int i = 0; i < 20000 && ListeningPort() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~InProcessRelay() {
    vellomar::stopRequested.Set();
    if (listener_) listener_->Cancel();
    threads_.JoinAll();
    window_.Stop();
    std::filesystem::remove_all(folder_);
  }
  InProcessRelay(const InProcessRelay&) = delete;
  InProcessRelay& operator=(const InProcessRelay&) = delete;

  // The listening port, 0 when the listener did not start.
  int port() const { return vellomar::ListeningPort(); }
  vellomar::MainWindow& window() { return mainWindow_; }
  // What is left for a look after a failed run: the spool files and the log's last lines.
  std::string Leftovers() const {
    std::string text = "spool files left:";
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      if (entry.path().extension() == ".tml") text += " " + entry.path().filename().string();
    }
    std::ifstream log(folder_ / "logfile", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    return text + "\nlog, last lines:\n" + all.substr(all.size() > 3000 ? all.size() - 3000 : 0);
  }

 private:
  std::filesystem::path folder_;
  vellomar::MemoryControls controls_;
  vellomar::ThreadExecutor window_{vellomar::stopRequested};
  vellomar::ThreadTracker threads_{vellomar::stopRequested};
  vellomar::MainWindow mainWindow_{window_, controls_, threads_};
  std::shared_ptr<vellomar::ThreadHandle> listener_;
};
