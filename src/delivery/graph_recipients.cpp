#include "delivery/graph_recipients.h"

#include <cctype>
#include <nlohmann/json.hpp>
#include <set>

#include "common/address_list.h"
#include "spool/recipient_line.h"

namespace vellomar {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The addresses (lower case) each recipient field of the header names.
struct HeaderFields {
  std::set<std::string> to, cc, bcc;

  bool Names(const std::string& lower) const { return to.count(lower) + cc.count(lower) + bcc.count(lower) > 0; }
};

void TakeField(const std::string& field, HeaderFields& named) {
  const size_t colon = field.find(':');
  if (colon == std::string::npos) return;
  std::string name = Lower(field.substr(0, colon));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
  std::set<std::string>* into = name == "to"    ? &named.to
                                : name == "cc"  ? &named.cc
                                : name == "bcc" ? &named.bcc
                                                : nullptr;
  if (into == nullptr) return;
  for (const ListedMailbox& box : ParseAddressList(field.substr(colon + 1))) into->insert(Lower(box.address));
}

// The header's fields, folded lines joined.
HeaderFields ReadFields(const std::string& header) {
  HeaderFields named;
  std::string field;
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    end = end == std::string::npos ? header.size() : end + 1;
    const std::string line = header.substr(start, end - start);
    start = end;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      field += line;
      continue;
    }
    TakeField(field, named);
    field = line;
  }
  TakeField(field, named);
  return named;
}

// "<a@example.org>" and any blanks around it: the address alone.
std::string BareAddress(const PendingRecipient& r) {
  std::string address = RecipientAddress(r.line);
  const size_t open = address.find('<'), close = address.rfind('>');
  if (open != std::string::npos && close != std::string::npos && close > open) {
    address = address.substr(open + 1, close - open - 1);
  }
  return address;
}

}  // namespace

GraphRecipients RecipientsFor(const std::string& header, const std::vector<PendingRecipient>& recipients) {
  GraphRecipients result;
  std::set<std::string> pending;
  for (const PendingRecipient& r : recipients) {
    std::string address = BareAddress(r);
    if (pending.insert(Lower(address)).second) result.pending.push_back(std::move(address));
  }
  const HeaderFields named = ReadFields(header);
  for (const std::set<std::string>* field : {&named.to, &named.cc, &named.bcc}) {
    for (const std::string& address : *field) {
      if (result.stranger.empty() && pending.count(address) == 0) result.stranger = address;
    }
  }
  for (const std::string& address : result.pending) {
    const std::string lower = Lower(address);
    if (named.to.count(lower) > 0) {
      result.to.push_back(address);
    } else if (named.cc.count(lower) > 0) {
      result.cc.push_back(address);
    } else {
      result.bcc.push_back(address);
    }
    if (!named.Names(lower)) result.addedBcc += (result.addedBcc.empty() ? "Bcc: " : ",\r\n ") + address;
  }
  if (!result.addedBcc.empty()) result.addedBcc += "\r\n";
  return result;
}

std::string RecipientListsJson(const GraphRecipients& recipients, bool saveToSent) {
  auto list = [](const std::vector<std::string>& addresses) {
    nlohmann::json entries = nlohmann::json::array();
    for (const std::string& address : addresses) entries.push_back({{"emailAddress", {{"address", address}}}});
    return entries;
  };
  nlohmann::json lists = {{"toRecipients", list(recipients.to)},
                          {"ccRecipients", list(recipients.cc)},
                          {"bccRecipients", list(recipients.bcc)}};
  if (!saveToSent) {
    lists["singleValueExtendedProperties"] = nlohmann::json::array({{{"id", "Boolean 0x0E01"}, {"value", "true"}}});
  }
  // An envelope address is the client's text: bytes that are not UTF-8 are replaced, not thrown on.
  return lists.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::pair<std::string, std::string> SplitHeader(const std::string& data) {
  size_t end = data.rfind("\r\n", 0) == 0 ? 0 : data.find("\r\n\r\n");
  if (end == std::string::npos) return {data, ""};
  end += end == 0 ? 2 : 4;
  return {data.substr(0, end), data.substr(end)};
}

}  // namespace vellomar
