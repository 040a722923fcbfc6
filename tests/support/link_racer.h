#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace vellomar::test {

// A second user, owner of `folder`, who races to put symbolic links to `target` under each of
// `names` there: made where a name is free (a temporary between its removal and its
// creation), swapped in where it is taken (a file just renamed into place). What root does in
// a folder another user owns must withstand it. Runs from the start until destroyed; needs
// root, to become that user (setpriv).
class LinkRacer {
 public:
  LinkRacer(const std::string& folder, uid_t user, const std::string& target, const std::vector<std::string>& names);
  // Racing: its first pass has begun.
  bool racing() const { return racing_; }

 private:
  std::unique_ptr<ChildProcess> process_;
  bool racing_ = false;
};

}  // namespace vellomar::test
