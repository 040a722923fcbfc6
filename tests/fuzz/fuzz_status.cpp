// What `vellomar --status` reads, fed anything: the relay's status file, the pacing counts, the
// log and a spool file, as another program may have left them in the folder. A status file
// that reads reads back as itself once written; whatever the folder holds, the status is one
// of the four verdicts, and its JSON is one object that reads back.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <string>

#include "control/relay_status.h"
#include "control/status_report.h"
#include "fuzz_check.h"
#include "platform/file_system.h"
#include "relay/status_file.h"

namespace {

// One folder for the whole run, its files replaced by each input.
const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/fuzz_status.XXXXXX";
    return std::string(::mkdtemp(name));
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  FuzzedDataProvider input(data, size);
  const std::string statusText = input.ConsumeRandomLengthString(2048);
  const std::string pacing = input.ConsumeRandomLengthString(1024);
  const std::string log = input.ConsumeRandomLengthString(1024);
  const std::string spool = input.ConsumeRemainingBytesAsString();

  if (auto status = ParseStatusFile(statusText)) {
    auto again = ParseStatusFile(StatusFileText(*status));
    Check(again.has_value() && *again == *status, "a status file reads back as it was written");
  }

  const std::string& folder = Folder();
  for (const auto& [name, content] : {std::pair<std::string, const std::string&>{kStatusFile, statusText},
                                      {"pacing.json", pacing}, {"logfile", log}, {"1.tml", spool}}) {
    Check(ReplaceFileContents(folder + "/" + name, content).ok(), "the folder takes its files");
  }
  Settings settings;
  settings.MaxPerMinute = 2;
  settings.MaxRecipientsPerDay = 3;
  RelayStatus status = GatherStatus({folder, folder, std::time(nullptr), false}, settings);
  Check(status.health >= Health::Ok && status.health <= Health::Unknown, "one of the four verdicts");
  nlohmann::json json = nlohmann::json::parse(StatusJson(status), nullptr, false);
  Check(json.is_object() && json["exitStatus"] == static_cast<int>(status.health), "the JSON is one object");
  Check(StatusText(status, settings).rfind("VELLOMAR ", 0) == 0, "the text starts as a plug-in's line");
  return 0;
}
