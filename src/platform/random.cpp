#include "platform/random.h"

#include <sys/random.h>

namespace vellomar {

Status FillRandom(void* data, size_t size) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    ssize_t got = ::getrandom(bytes, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return FailWith(errno);
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return Ok();
}

}  // namespace vellomar
