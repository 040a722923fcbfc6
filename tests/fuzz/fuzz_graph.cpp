// Microsoft Graph's replies fed whatever a service (or whoever answers in its place) may send:
// the error's code and message come back bounded and printable whatever the body, a
// Retry-After delay is at most a day, and a draft's id is printable and bounded. The input's
// first line is the Retry-After field's value, the rest the reply's body.
#include <cstdint>
#include <string>

#include "delivery/graph_reply.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string field = input.substr(0, newline);
  const std::string body = newline == std::string::npos ? "" : input.substr(newline + 1);
  const auto delay = RetryAfterOf(field);
  Check(delay.count() >= 0 && delay.count() <= 24 * 60 * 60, "a delay of at most a day");
  const GraphError error = ParseGraphError(body);
  Check(error.code.size() <= 103 && error.message.size() <= 303, "the texts are bounded");
  for (char c : error.Text()) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "no control character");
  (void)IsSizeError(error);  // only its safety matters here
  // A draft's id goes into the next calls' URLs (escaped there): printable and bounded.
  for (char c : DraftIdOf(body)) Check(static_cast<unsigned char>(c) > 0x20 && c != 0x7F, "a printable id");
  Check(DraftIdOf(body).size() <= 1024, "an id is bounded");
  return 0;
}
