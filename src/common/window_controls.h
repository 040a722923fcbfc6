#pragma once

#include <string>

namespace vellomar {

// The window as the core sees it: controls addressed by their resource ids. The Qt face
// maps the ids to widgets; MemoryControls keeps them in memory for the console face and the
// tests. Every call is made on the window's thread.
class WindowControls {
 public:
  virtual ~WindowControls() = default;

  // List boxes (1007, 1008). A selection of -1 means none.
  virtual int ListCount(int listId) = 0;
  virtual std::string ListItem(int listId, int index) = 0;
  virtual int ListSelection(int listId) = 0;
  virtual void ListSelect(int listId, int index) = 0;
  virtual void ListClear(int listId) = 0;
  virtual void ListAppend(int listId, const std::string& text) = 0;

  // Static texts and panels (1009 to 1012, 1016, 1017).
  virtual void SetText(int id, const std::string& text) = 0;
  virtual std::string Text(int id) = 0;

  // The notifications box (1006): appends `text` at the end and scrolls it into view,
  // keeping the newest lines only. `logLine` is the same notification as the log file has
  // it, time stamp included, for a face that also echoes it.
  virtual void AppendNotification(const std::string& text, const std::string& logLine) = 0;

  // A message box with an OK button. Whether the window's thread waits for it to be closed is
  // the face's affair; relay threads never wait for it.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

  // The state buttons (1014, 1015) and the bitmap they show (135 or 136).
  virtual void SetButtonBitmap(int buttonId, int bitmapId) = 0;
  virtual int ButtonBitmap(int buttonId) = 0;

  virtual void SetWindowVisible(bool visible) = 0;
  virtual bool WindowVisible() = 0;

  // The system's text for a failure, in a box the user closes (the caller waits for that) or,
  // in a face without boxes, on standard error.
  virtual void ShowSystemError(const std::string& text);

  // What the face offers beyond the window's controls. A face without them keeps these.
  // The start-up Modes dialog: true when it was confirmed (and stored its values).
  virtual bool RunModesDialog() { return false; }
  virtual void AddTrayIcon() {}
  virtual void RemoveTrayIcon() {}
  // Whether the window can be hidden and brought back (the tray icon exists).
  virtual bool CanHideWindow() { return true; }
  // The sign-in kept under `account` must be made again, as `text` says: a face with a window
  // offers a "Sign in..." action; one without says how to sign in from a shell.
  virtual void OfferSignIn(const std::string& account, const std::string& text) {
    (void)account;  // a shell signs in to the settings' sign-in
    ShowMessage(text + ". Mail to the next relay waits until then: run 'vellomar --sign-in' (with --device where "
                       "no browser can be opened) as the user this program runs as, with the same VELLOMAR_DIR "
                       "and VELLOMAR_REGISTRY.",
                "Vellomar");
  }

  // Desktop notifications, through the tray icon: whether the face can show one now (it has a
  // tray), and one shown. `signIn`, when not empty, is the sign-in a "Sign in..." action on it
  // makes again.
  virtual bool CanNotify() { return false; }
  virtual void Notify(const std::string& title, const std::string& body, const std::string& signIn) {
    (void)title;  // a face without a tray shows nothing
    (void)body;
    (void)signIn;
  }

  // The text of the selected item of a list box, empty when nothing is selected.
  std::string ListSelectedText(int listId) {
    int selected = ListSelection(listId);
    return selected < 0 ? std::string() : ListItem(listId, selected);
  }
};

}  // namespace vellomar
