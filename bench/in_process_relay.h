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

#include "control/main_window.h"
#include "control/memory_controls.h"
#include "common/settings.h"
#include "platform/thread_executor.h"
#include "smtp_server/listener.h"

class InProcessRelay {
 public:
  // `nextRelay` is the SMTP setting ("127.0.0.1:port"), empty for none.
  InProcessRelay(int input, const std::string& nextRelay)
      : folder_(MakeFolder()), mainWindow_(window_, controls_, stop_, folder_.string()) {
    using namespace vellomar;
    ::setenv("VELLOMAR_SMTP_PORT", "0", 1);
    Settings settings;
    settings.Input = input;
    settings.Logsize = 1024;
    settings.SMTP = nextRelay;
    settings.REAL_RELAY = false;
    // The benches send messages of any size, a gigabyte too: no limit.
    settings.MaxSize = 0;
    relay().PublishSettings(settings);
    relay().OpenLog();
    listener_ = relay().threads().Start([this](ThreadHandle& self) { return ListenerThread(relay(), self); });
    for (int i = 0; i < 20000 && relay().listeningPort == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~InProcessRelay() {
    stop_.Set();
    if (listener_) listener_->Cancel();
    relay().threads().JoinAll();
    window_.Stop();
    std::filesystem::remove_all(folder_);
  }
  InProcessRelay(const InProcessRelay&) = delete;
  InProcessRelay& operator=(const InProcessRelay&) = delete;

  // The listening port, 0 when the listener did not start.
  int port() { return relay().listeningPort; }
  vellomar::Relay& relay() { return mainWindow_.relay(); }
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
  static std::filesystem::path MakeFolder() {
    auto folder = std::filesystem::temp_directory_path() / ("vellomar-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    return folder;
  }

  std::filesystem::path folder_;
  vellomar::MemoryControls controls_;
  vellomar::StopFlag stop_;
  vellomar::ThreadExecutor window_{stop_};
  vellomar::MainWindow mainWindow_;
  std::shared_ptr<vellomar::ThreadHandle> listener_;
};
