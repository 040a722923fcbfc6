#include "support/link_racer.h"

#include <sys/stat.h>

#include "support/eventually.h"

namespace vellomar::test {

namespace {

// Kept lean, so that each of its passes is as quick as the kernel lets it be.
constexpr const char* kRace = R"(
import os, sys
folder, target, names = sys.argv[1], sys.argv[2], sys.argv[3:]
paths = [os.path.join(folder, name) for name in names]
swap = os.path.join(folder, '.swap')
open(os.path.join(folder, '.racing'), 'w').close()
while True:
    for path in paths:
        try:
            os.symlink(target, path)
        except OSError:
            try:
                os.symlink(target, swap)
                os.replace(swap, path)
            except OSError:
                pass
)";

}  // namespace

LinkRacer::LinkRacer(const std::string& folder, uid_t user, const std::string& target,
                     const std::vector<std::string>& names) {
  const std::string id = std::to_string(user);
  std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                "/usr/bin/python3", "-c", kRace, folder, target};
  argv.insert(argv.end(), names.begin(), names.end());
  process_ = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{}, "/dev/null", "/dev/null",
                                            "/dev/null");
  struct stat facts {};
  const std::string mark = folder + "/.racing";
  racing_ = process_->started() && Eventually([&] { return ::lstat(mark.c_str(), &facts) == 0; }, 20000);
}

}  // namespace vellomar::test
