#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace vellomar {

// What a Graph error reply says ({"error": {"code": ..., "message": ...}}), each text made
// safe to log and to put in a failure notice: printable ASCII, blanks for anything else,
// bounded. Empty texts when the body is not such a reply. Never throws.
struct GraphError {
  std::string code;
  std::string message;
  // "code: message", or what there is of it.
  std::string Text() const;
};
GraphError ParseGraphError(std::string_view body);

// A Retry-After field's delay: delta-seconds, at most a day; 0 when absent, a date or not a
// number (the retry schedule's own wait applies).
std::chrono::seconds RetryAfterOf(std::string_view value);

// The "id" of the message a create call made ({"id": ..., ...}), to be put in later calls' URLs;
// "" when the reply holds none that is printable ASCII of a sane length.
std::string DraftIdOf(std::string_view body);

// A 400 that says the message is too large for the service.
bool IsSizeError(const GraphError& error);

}  // namespace vellomar
