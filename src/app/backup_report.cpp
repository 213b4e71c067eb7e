// Backups and restores run and told: figures, what was left out, and what to do by hand.
#include "app/backup_report.h"

#include <chrono>
#include <cstdio>
#include <functional>

namespace quelma::app {
namespace {

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

OutcomeReport ReportBackup(const std::string& archivePath,
                           const std::function<std::optional<backup::BackupFigures>(std::string&)>& take) {
  const auto began = std::chrono::steady_clock::now();
  std::string problem;
  const auto figures = take(problem);
  OutcomeReport report;
  if (!figures) {
    report.lines.push_back("Резервная копия не сделана: " + problem);
    return report;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  char time[32];
  std::snprintf(time, sizeof time, "%.1f", seconds);
  report.done = true;
  report.lines.push_back("Резервная копия записана в " + archivePath + ": почтовых ящиков " +
                         std::to_string(figures->mailboxes) + ", файлов " + std::to_string(figures->files) + ", " +
                         Megabytes(figures->bytes) + " МБ за " + time + " с");
  for (const std::string& place : figures->leftOut) {
    report.lines.push_back(place + " - вне каталога программы, в копию не входит");
  }
  if (figures->tokensSealed) {
    report.lines.push_back("OAuth-токены в копии зашифрованы для этого пользователя Windows на этом компьютере: "
                           "в другом месте они не действуют");
  }
  return report;
}

}  // namespace

OutcomeReport RunBackup(const config::Configuration& config, const std::string& programDir,
                        const std::string& archivePath, const backup::BackupOptions& options) {
  return ReportBackup(archivePath, [&](std::string& problem) {
    return backup::TakeBackup(config, programDir, archivePath, options, problem);
  });
}

OutcomeReport RunBackupInto(const config::Configuration& config, const std::string& programDir,
                            platform::OutputFile& out, const std::string& archivePath,
                            const backup::BackupOptions& options) {
  return ReportBackup(archivePath, [&](std::string& problem) -> std::optional<backup::BackupFigures> {
    if (const auto refused = backup::ArchivePlaceProblem(config, programDir, archivePath)) {
      problem = *refused;
      return std::nullopt;
    }
    return backup::WriteBackup(config, programDir, out, options, problem);
  });
}

OutcomeReport RunRestore(const std::string& archivePath, const std::string& directory) {
  std::string problem;
  const auto figures = backup::RestoreBackup(archivePath, directory, problem);
  OutcomeReport report;
  if (!figures) {
    report.lines.push_back("Копия не восстановлена, ничего не изменено: " + problem);
    return report;
  }
  report.done = true;
  report.lines.push_back("Копия " + archivePath + " восстановлена в " + directory + ": файлов " +
                         std::to_string(figures->files) + ", " + Megabytes(figures->bytes) + " МБ");
  for (const std::string& note : figures->notes) report.lines.push_back(note);
  return report;
}

}  // namespace quelma::app
