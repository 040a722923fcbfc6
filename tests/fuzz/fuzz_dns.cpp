// The DNS answer parser fed any datagram: names decode within their bounds and never past the
// reply, every exchanger is a valid name's length, addresses are of the type asked, and a query name that encodes decodes
// back to the same name. Whether a datagram answers a query is decided without fault.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dns/dns_exchange.h"
#include "dns/mx_resolver.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  const std::vector<uint8_t> reply(data, data + size);
  unsigned answers = size >= 8 ? (reply[6] << 8 | reply[7]) : 0;
  for (const std::string& name : MxResolver::ParseMxAnswers(reply, answers)) {
    Check(name.size() <= 255, "an exchanger name is at most 255 characters");
  }
  for (uint16_t type : {MxResolver::kTypeA, MxResolver::kTypeAaaa}) {
    for (const SocketAddress& address : MxResolver::ParseAddressAnswers(reply, answers, type, 25)) {
      Check(address.family() == (type == MxResolver::kTypeA ? AF_INET : AF_INET6), "an address of the type asked");
    }
  }
  (void)IsTruncated(reply);  // any verdict, but no fault
  for (size_t start = 0; start < size && start < 64; ++start) {
    size_t position = start;
    std::string name;
    if (MxResolver::DecodeName(reply, position, name)) {
      Check(position > start && position <= size, "a decoded name ends inside the reply");
      Check(name.size() <= 255, "a decoded name is at most 255 characters");
    }
  }

  FuzzedDataProvider input(data, size);
  const uint16_t id = input.ConsumeIntegral<uint16_t>();
  const std::string domain = input.ConsumeRandomLengthString(300);
  const std::string encoded = MxResolver::EncodeQueryName(domain);
  if (encoded.empty()) return 0;
  const std::vector<uint8_t> query = MxResolver::BuildQuery(encoded, id);
  size_t position = 12;
  std::string decoded;
  Check(MxResolver::DecodeName(query, position, decoded), "an encoded name decodes");
  std::string plain = domain.back() == '.' ? domain.substr(0, domain.size() - 1) : domain;
  Check(decoded == plain, "an encoded name decodes to itself");
  Check(AnswersQuery(query, query) == false, "a query is no answer to itself");
  (void)AnswersQuery(query, reply);  // any verdict, but no fault
  return 0;
}
