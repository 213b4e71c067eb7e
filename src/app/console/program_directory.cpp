// Choosing the program directory of the Linux program.
#include "app/console/program_directory.h"

#include "platform/files.h"
#include "platform/paths.h"

namespace quelma::app {

std::string DefaultProgramDirectory(const std::string& executableDirectory) {
  return executableDirectory.rfind("/usr/", 0) == 0 ? kInstalledProgramDirectory : executableDirectory;
}

std::optional<std::string> ProgramDirectory(const std::string& given) {
  std::string directory = given;
  if (directory.empty()) {
    const auto executable = platform::ExecutableDirectory();
    if (!executable) return std::nullopt;
    directory = DefaultProgramDirectory(*executable);
  }
  if (!platform::IsDirectory(directory)) platform::MakeDirectory(directory);
  return platform::AbsoluteDirectory(directory);
}

}  // namespace quelma::app
