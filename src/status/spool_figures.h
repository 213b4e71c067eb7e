// The queue and the maildrops as they stand on disk now: counts, bytes, the oldest queue file.
#pragma once

#include "config/configuration.h"
#include "status/program_status.h"

namespace quelma::status {

SpoolFigures ReadSpoolFigures(const config::Configuration& config);

}  // namespace quelma::status
