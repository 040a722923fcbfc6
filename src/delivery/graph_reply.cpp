#include "delivery/graph_reply.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "common/text.h"

namespace vellomar {

namespace {

using Json = nlohmann::json;

constexpr size_t kMaxCode = 100;
constexpr size_t kMaxMessage = 300;
constexpr std::chrono::seconds kMaxRetryAfter{24 * 60 * 60};
// Graph's message ids are about 150 characters; anything far longer is not one.
constexpr size_t kMaxDraftId = 1024;

// A text from the service as it may be logged: no line breaks or control bytes a reader could
// be fooled by, and no more than `limit` bytes.
std::string Sanitised(const std::string& text, size_t limit) {
  std::string clean;
  for (char c : text) {
    if (clean.size() >= limit) {
      clean += "...";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    clean += byte >= 0x20 && byte < 0x7f ? c : ' ';
  }
  return clean;
}

std::string StringAt(const Json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

std::string GraphError::Text() const {
  if (code.empty()) return message;
  return message.empty() ? code : code + ": " + message;
}

GraphError ParseGraphError(std::string_view body) {
  GraphError error;
  // Parsed without exceptions: a reply that is no JSON comes back discarded.
  Json parsed = Json::parse(body.begin(), body.end(), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return error;
  auto inner = parsed.find("error");
  if (inner == parsed.end() || !inner->is_object()) return error;
  error.code = Sanitised(StringAt(*inner, "code"), kMaxCode);
  error.message = Sanitised(StringAt(*inner, "message"), kMaxMessage);
  return error;
}

std::chrono::seconds RetryAfterOf(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty() || value.size() > 12) return std::chrono::seconds(0);
  int64_t seconds = 0;
  for (char c : value) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::chrono::seconds(0);
    seconds = seconds * 10 + (c - '0');
  }
  return std::min(std::chrono::seconds(seconds), kMaxRetryAfter);
}

std::string DraftIdOf(std::string_view body) {
  Json parsed = Json::parse(body.begin(), body.end(), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return "";
  const std::string id = StringAt(parsed, "id");
  if (id.empty() || id.size() > kMaxDraftId) return "";
  for (char c : id) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) return "";
  }
  return id;
}

bool IsSizeError(const GraphError& error) {
  const std::string text = error.code + " " + error.message;
  for (const char* mark : {"size", "Size", "too large", "TooLarge", "exceeds"}) {
    if (text.find(mark) != std::string::npos) return true;
  }
  return false;
}

}  // namespace vellomar
