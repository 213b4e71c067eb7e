// The backup is taken in this process, which holds the mailboxes' locks; a restore writes a
// new program directory, for a quelma.exe placed there.
#include "app/win32/backup_menu.h"

#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/backup_report.h"
#include "app/win32/program.h"
#include "app/win32/report_window.h"
#include "oauth/token_store.h"
#include "platform/files.h"

namespace quelma::app {
namespace {

constexpr std::size_t kPathRoom = 32768;  // the longest path the system's dialogs hand back
std::atomic<bool> g_working{false};

ReportWindow& Window() {
  static ReportWindow window(kBackupWindowClass, kBackupTitle);
  return window;
}

std::string Joined(const OutcomeReport& report) {
  std::string text;
  for (const std::string& line : report.lines) text += line + "\n";
  return text;
}

std::string TodaysArchiveName() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return "quelma-" + std::to_string(now.wYear) + "-" + (now.wMonth < 10 ? "0" : "") + std::to_string(now.wMonth) + "-" +
         (now.wDay < 10 ? "0" : "") + std::to_string(now.wDay) + ".tar";
}

std::optional<std::string> ChooseArchive(HWND owner, bool forSaving) {
  std::string path(kPathRoom, '\0');
  if (forSaving) path.replace(0, TodaysArchiveName().size(), TodaysArchiveName());
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = "Архив tar (*.tar)\0*.tar\0Все файлы\0*.*\0";
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  dialog.lpstrDefExt = "tar";
  dialog.Flags = OFN_NOCHANGEDIR | (forSaving ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
  const BOOL chosen = forSaving ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog);
  if (!chosen) return std::nullopt;
  path.resize(std::char_traits<char>::length(path.c_str()));
  return path;
}

std::optional<std::string> ChooseEmptyFolder(HWND owner) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BROWSEINFOA browse{};
  browse.hwndOwner = owner;
  browse.lpszTitle = "Пустой или новый каталог для восстановленной копии:";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  std::optional<std::string> folder;
  if (PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&browse)) {
    std::string path(kPathRoom, '\0');
    if (SHGetPathFromIDListA(chosen, path.data())) folder = path.substr(0, std::char_traits<char>::length(path.c_str()));
    CoTaskMemFree(chosen);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return folder;
}

// `work` on a thread of its own; its report in the window and the log.
template <typename Work>
void RunInBackground(HWND owner, const std::string& opening, Work work) {
  if (g_working.exchange(true)) {
    Window().open(owner, "Резервное копирование или восстановление уже идет: его итог появится здесь.\n");
    return;
  }
  Window().open(owner, opening + "\n");
  std::thread([work] {
    const OutcomeReport report = work();
    for (const std::string& line : report.lines) TheProgram().log->LogSystem(line + "\r\n");
    g_working = false;
    Window().post(Joined(report));
  }).detach();
}

}  // namespace

void StartBackupFromMenu(HWND owner) {
  Program& p = TheProgram();
  const auto archive = ChooseArchive(owner, true);
  if (!archive) return;
  backup::BackupOptions options;
  if (platform::FileExists(oauth::TokenStore(p.programDir).path())) {
    const int answer = MessageBoxA(owner,
                                   "Включить в копию OAuth-токены входа к провайдеру?\n\n"
                                   "Они зашифрованы для этого пользователя Windows на этом компьютере: "
                                   "восстановленные в другом месте, они не действуют, там нужен новый вход.",
                                   kBackupTitle, MB_YESNOCANCEL | MB_ICONQUESTION);
    if (answer == IDCANCEL) return;
    options.withTokens = answer == IDYES;
  }
  std::shared_ptr<const config::Configuration> config = p.store.current();
  p.log->LogSystem("Резервная копия в " + *archive + " начата\r\n");
  RunInBackground(owner, "Идет резервное копирование в " + *archive + "...",
                  [config, programDir = p.programDir, archive = *archive, options] {
                    return RunBackup(*config, programDir, archive, options);
                  });
}

void StartRestoreFromMenu(HWND owner) {
  const auto archive = ChooseArchive(owner, false);
  if (!archive) return;
  const auto folder = ChooseEmptyFolder(owner);
  if (!folder) return;
  RunInBackground(owner, "Идет восстановление " + *archive + " в " + *folder + "...", [archive = *archive, folder = *folder] {
    OutcomeReport report = RunRestore(archive, folder);
    if (report.done) {
      report.lines.push_back("Чтобы работать с восстановленной копией, скопируйте quelma.exe в " + folder +
                             " и запустите его оттуда (эта программа остается со своим каталогом).");
    }
    return report;
  });
}

}  // namespace quelma::app
