#pragma once

#include <optional>
#include <string>

namespace vellomar {

class QueueList;
class RelayServices;
class SpoolFile;
struct Settings;

// Whole days a message has waited, from the arrival time its trace header records, or, for
// a file without one (a notice), from when this run of the program first met it; the clocks
// are the retry schedule's. Reads the file from its start; the position afterwards is anywhere.
int MessageAgeDays(QueueList& queue, const std::string& spoolName, SpoolFile& file);

// The days past which a recipient still pending is given up, when `Lifetime` sets any: a
// message is past its lifetime once it is older than that many days.
std::optional<int> PastLifetime(RelayServices& relay, const Settings& settings, const std::string& spoolName,
                                SpoolFile& file);

// The failure notice's reason for a recipient given up when the lifetime passed.
std::string LifetimeReason(int days, const std::string& lastError);

}  // namespace vellomar
