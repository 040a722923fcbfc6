#include "common/flags.h"

namespace vellomar {

StopFlag stopRequested;
std::atomic<bool> flushRequested{false};

}  // namespace vellomar
