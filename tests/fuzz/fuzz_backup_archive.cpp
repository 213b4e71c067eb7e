// Fuzz target: a restore takes any bytes as an archive: it either refuses them and leaves no
// directory behind, or writes only inside its directory; the tar header, pax and manifest
// readers take any bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "backup/backup_manifest.h"
#include "backup/restore_backup.h"
#include "backup/tar_format.h"
#include "platform/files.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.size() >= backup::kTarBlock) backup::DecodeTarHeader(bytes.substr(0, backup::kTarBlock));
  backup::DecodePaxRecords(bytes);
  backup::ParseManifest(bytes);

  namespace fs = std::filesystem;
  static const fs::path base = fs::temp_directory_path() / ("quelma-fuzz-restore-" + std::to_string(::getpid()));
  fs::remove_all(base);
  fs::create_directories(base);
  const std::string archive = (base / "a.tar").string(), target = (base / "out").string();
  if (platform::AtomicReplace(archive, bytes) != platform::WriteResult::kWritten) return 0;
  std::string problem;
  const bool restored = backup::RestoreBackup(archive, target, problem).has_value();
  // Nothing but the archive and, after a restore, its directory.
  for (const auto& entry : fs::directory_iterator(base)) {
    const std::string name = entry.path().filename().string();
    if (name != "a.tar" && !(restored && name == "out")) __builtin_trap();
  }
  return 0;
}
