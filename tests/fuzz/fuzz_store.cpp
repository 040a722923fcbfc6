// The settings store reader fed any file, and any value stored in it: a store reads back as it
// was written, a value stored comes back exactly whatever its characters, and the readings of
// numbers and network lists take any text without fault.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "control/settings_loading.h"
#include "control/store_file.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  FuzzedDataProvider input(data, size);
  const std::string value = input.ConsumeRandomLengthString(256);
  const std::string content = input.ConsumeRemainingBytesAsString();
  const std::string key = "Software\\Vellomar";

  StoreFile store = StoreFile::Parse(content);
  const std::string written = store.Serialize();
  Check(StoreFile::Parse(written).Serialize() == written, "a store reads back as it was written");
  for (const char* name : {"SMTP", "Allow", "Input", "Lifetime"}) {
    if (auto text = store.Get(key, name)) {
      (void)DecimalPrefix(*text);
      std::vector<std::string> problems;
      (void)AllowedNetworks(*text, problems);
    }
  }
  store.Set(key, "SMTP", value);
  Check(StoreFile::Parse(store.Serialize()).Get(key, "SMTP") == value, "a stored value comes back exactly");
  Check(StoreFile::Unescape(StoreFile::Escape(value)) == value, "an escaped text unescapes to itself");
  return 0;
}
