// The Qt tests need an application object; without a display they use the offscreen platform.
#include <QApplication>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The signal watcher's tests send SIGUSR1 and SIGUSR2 to the process: blocked before any
  // thread starts, no thread of Qt's can take them and end the process.
  sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGUSR1);
  sigaddset(&watched, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &watched, nullptr);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
