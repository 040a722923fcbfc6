#pragma once

#include <functional>
#include <string>

#include "sign_in/sign_ins.h"

namespace vellomar {

class MainWindow;

// What starting a sign-in in the browser gave: the address to open, or why there is none.
struct BrowserSignInStart {
  std::string address;
  std::string problem;
};
// Called on the window's thread once the sign-in ended: whether it succeeded, and what to tell
// the person.
using BrowserSignInDone = std::function<void(bool signedIn, const std::string& text)>;

// The window's "Sign in..." for a running relay: opens the loopback listener for the provider
// the values name and gives the address the browser is to open. The wait for the browser's answer
// (five minutes at most, ended by the relay's stop), the trade of its code and the keeping of
// the grant through the relay's token source for these values run on a thread of the relay, so
// the window goes on; then `done` is posted to the window's thread. Once signed in, the waiting
// mail is tried at once.
BrowserSignInStart StartBrowserSignIn(MainWindow& window, const SignInValues& values, BrowserSignInDone done);

}  // namespace vellomar
