#pragma once

#include <string>

#include "common/settings.h"
#include "control/relay_status.h"

namespace vellomar {

// `vellomar --status` as a person and a monitoring system read it. The text's first line is a
// Nagios-style plug-in's: "VELLOMAR WARNING - <the problems> | <performance data>", the rest
// says the same in full. The JSON object has the documented, stable field names (README,
// vellomar(1)); times are seconds since the epoch, an unknown value is null.
std::string StatusText(const RelayStatus& status, const Settings& settings);
std::string StatusJson(const RelayStatus& status);

// "OK", "WARNING", "CRITICAL", "UNKNOWN"; lower case in the JSON.
std::string HealthName(Health health);

}  // namespace vellomar
