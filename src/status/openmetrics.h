// The status in the OpenMetrics text format, for a node exporter's textfile collector.
#pragma once

#include <string>

#include "status/program_status.h"

namespace quelma::status {

std::string FormatOpenMetrics(const ProgramStatus& status);

}  // namespace quelma::status
