#pragma once

#include <string>

#include "common/relay_event.h"

namespace vellomar {

// What a relay tells the window that shows it, and nothing more: the relay depends on this
// seam, never on the window, so the relay sits below the window that drives it. MainWindow is
// the one implementation. Calls come from the relay's threads and from the window's own
// thread; each says whether it waits for the window's thread.
class WindowServices {
 public:
  virtual ~WindowServices() = default;

  // Appends to the notifications box, in call order, without waiting. `logLine` is the same
  // notification as the log file has it, time stamp included, for a face that echoes it.
  virtual void AppendNotification(const std::string& text, const std::string& logLine) = 0;
  // A message box with an OK button; nobody waits for it.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  // The system's text for a failure. The caller waits until the user has seen it, unless the
  // relay stops meanwhile.
  virtual void ShowSystemError(const std::string& text) = 0;
  // Rewrites the statistics and the list boxes from the relay; returns once that is done (or
  // once the relay stops).
  virtual void RefreshStatistics() = 0;
  // The same refresh without waiting for it: requests that come while one is still to run are
  // that one, which reads the relay as it is when it runs. What the relay's threads ask after
  // each connection and delivery, so that a burst of messages costs a refresh, not one each.
  virtual void RequestRefresh() { RefreshStatistics(); }
  // The state buttons show the side running (bitmap 135) or not (136). Returns once shown (at
  // once on the window's own thread), so that the images of one side appear in call order.
  virtual void SetServerImage(bool running) = 0;
  virtual void SetClientImage(bool running) = 0;
  // Hides the window (the first delivery run, when `Minimize` asks for it); returns once done.
  virtual void HideWindow() = 0;
  // The sign-in kept under `account` must be made (again): the log line that said so, and the
  // window offers to sign in. Said once for each time it became needed; nobody waits.
  virtual void SignInNeeded(const std::string& account, const std::string& logLine) = 0;

  // Desktop notifications. An event the people at the desktop should hear of (a kind that
  // IsNotified); nobody waits. A window without notifications ignores it.
  virtual void ReportEvent(const RelayEvent& event) { (void)event; }
};

}  // namespace vellomar
