// Where the Linux program keeps its settings and mail: the directory given with --dir, else the
// executable's own, except for an executable installed under /usr, which uses /var/lib/quelma.
#pragma once

#include <optional>
#include <string>

namespace quelma::app {

inline constexpr const char* kInstalledProgramDirectory = "/var/lib/quelma/";

// The program directory when none is given: the state directory for an installed program (its
// own directory is no place for mail), else the executable's directory.
std::string DefaultProgramDirectory(const std::string& executableDirectory);

// The program directory, absolute and ending with '/': `given` (made when missing) or the
// default (the state directory made when missing); nothing when it cannot be used.
std::optional<std::string> ProgramDirectory(const std::string& given);

}  // namespace quelma::app
