// Backups and restores of a program directory: what goes in and what stays out, a restored
// directory that names its own places, archives that are refused before anything is written,
// and mailboxes taken whole while deliveries go on.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "backup/archive_writer.h"
#include "backup/restore_backup.h"
#include "backup/take_backup.h"
#include "config/config_file.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "spool/delivery.h"
#include "spool/mailbox.h"
#include "spool/mailbox_index_file.h"
#include "spool/maildrop.h"
#include "spool/user_folders.h"
#include "support/spool_directories.h"

namespace quelma::backup {
namespace {

using testing::ReadAll;
using testing::WriteAll;
namespace fs = std::filesystem;

bool Deliver(const config::Configuration& config, const std::string& maildrop, const std::string& text) {
  spool::Delivery delivery(config);
  return delivery.willAppend({maildrop}) &&
         spool::AppendToMaildrop(maildrop, spool::NewSeparatorLine(), text, false) == spool::AppendResult::kAppended &&
         delivery.commit().has_value();
}

// Every file under `root` by its path below it ("/" between levels), with its bytes.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).generic_string()] = ReadAll(entry.path().string());
  }
  return files;
}

struct Office : testing::SpoolDirectories {
  Office() {
    config = config::DefaultConfiguration(dir.path());
    config.users.push_back({"ivan", "secret", ""});
    config.LocalDomain = "office.local";
    platform::MakeDirectory(config.MailDropDir);
    platform::MakeDirectory(config.QueueDir);
    EXPECT_EQ(config::SaveConfiguration(dir.path(), config), config::SaveResult::kSaved);
  }
  std::string ivan() const { return config.MailDropDir + "ivan"; }
  // A directory with something of every kind the program keeps, and what it must not take.
  void fill() {
    WriteAll(dir.file("sorter.cfg"), "Subject: x\r\n");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Deliver(config, ivan(), "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n"));
    auto inbox = spool::Mailbox::Open(ivan());
    ASSERT_TRUE(inbox->setFlags(inbox->index().messages[0].uid, spool::flag::kSeen, 0));
    const auto work = spool::FolderPath(ivan(), "Work");
    ASSERT_TRUE(work && Deliver(config, *work, "Subject: filed\r\n\r\nkept\r\n"));
    WriteAll(dir.file("0A0B0C0D.uidl"), "U one\nU two\nU thr");  // a line being appended
    WriteAll(dir.file("delivered.ids"), "1 ivan <a@b>\n");
    WriteAll(dir.file("0A0B0C0D-1.popfile"), "Subject: waiting\r\n\r\nx\r\n.\r\n");
    WriteAll(dir.file("0A0B0C0D-2.popfile.part"), "half");
    WriteAll(config.QueueDir + "0000000A", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n\r\nx\r\n");
    WriteAll(config.QueueDir + "0000000B", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n\r\ny\r\n");
    WriteAll(config.QueueDir + "0000000B.sent", "");
    WriteAll(config.QueueDir + "sorter-0000000C.tmp", "staged");
    WriteAll(dir.file("oauth.tokens"), "{\"logins\":{}}");
    WriteAll(dir.file("quelma.log"), "log\r\n");
    WriteAll(config.MailDropDir + "smtp_upload.runs", "");
  }
};

TEST(Backup, RestoresTheMailAndSettingsIntoANewDirectoryThatNamesItsOwnPlaces) {
  for (const bool withTokens : {false, true}) {
    SCOPED_TRACE(withTokens ? "with tokens" : "without tokens");
    Office office;
    office.fill();
    testing::TempDir elsewhere;
    std::string problem;
    const auto taken = TakeBackup(office.config, office.dir.path(), elsewhere.file("b.tar"), {withTokens}, problem);
    ASSERT_TRUE(taken) << problem;
    EXPECT_EQ(taken->mailboxes, 2u);  // INBOX and Work
    EXPECT_FALSE(platform::FileExists(elsewhere.file("b.tar.part")));
    const std::string target = elsewhere.file("new");
    const auto restored = RestoreBackup(elsewhere.file("b.tar"), target, problem);
    ASSERT_TRUE(restored) << problem;

    std::map<std::string, std::string> expected = Tree(office.dir.path());
    for (const char* left : {"quelma.log", "0A0B0C0D-2.popfile.part", "queue/sorter-0000000C.tmp", "quelma.cfg",
                             "maildrop/smtp_upload.runs"}) {
      expected.erase(left);
    }
    std::erase_if(expected, [](const auto& file) {  // caches, and the journal an idle delivery keeps
      return file.first.ends_with(".summary") || file.first.ends_with(".journal");
    });
    expected["0A0B0C0D.uidl"] = "U one\nU two\n";
    if (!withTokens) expected.erase("oauth.tokens");
    std::map<std::string, std::string> got = Tree(target);
    got.erase("quelma.cfg");
    EXPECT_EQ(got, expected);

    const std::string here = target + platform::kPathSeparator;
    config::Configuration back = config::DefaultConfiguration(here);
    ASSERT_EQ(config::LoadConfiguration(here, back).status, config::LoadStatus::kLoaded);
    EXPECT_EQ(back.MailDropDir, here + "maildrop" + platform::kPathSeparator);
    EXPECT_EQ(back.QueueDir, here + "queue" + platform::kPathSeparator);
    EXPECT_EQ(back.users, office.config.users);
    spool::Mailbox::ForgetIdle();
    const auto inbox = spool::Mailbox::Open(back.MailDropDir + "ivan");
    ASSERT_EQ(inbox->index().messages.size(), 3u);
    EXPECT_EQ(inbox->index().messages[0].flags, spool::flag::kSeen);
  }
}

TEST(Backup, AMaildropDirectoryOutsideTheProgramDirectoryComesInside) {
  Office office;
  testing::TempDir outside;
  office.config.MailDropDir = outside.path();
  ASSERT_EQ(config::SaveConfiguration(office.dir.path(), office.config), config::SaveResult::kSaved);
  ASSERT_TRUE(Deliver(office.config, office.ivan(), "Subject: far\r\n\r\naway\r\n"));
  testing::TempDir elsewhere;
  std::string problem;
  ASSERT_TRUE(TakeBackup(office.config, office.dir.path(), elsewhere.file("b.tar"), {}, problem)) << problem;
  const auto restored = RestoreBackup(elsewhere.file("b.tar"), elsewhere.file("new"), problem);
  ASSERT_TRUE(restored) << problem;
  ASSERT_EQ(restored->notes.size(), 1u);
  EXPECT_NE(restored->notes[0].find(outside.path()), std::string::npos);
  EXPECT_EQ(ReadAll(elsewhere.file("new/outside-maildrop/ivan")), ReadAll(office.ivan()));
}

TEST(Backup, AnArchiveThatIsNotAWholeBackupIsRefusedBeforeAnythingIsWritten) {
  Office office;
  office.fill();
  testing::TempDir elsewhere;
  std::string problem;
  ASSERT_TRUE(TakeBackup(office.config, office.dir.path(), elsewhere.file("b.tar"), {}, problem)) << problem;
  const std::string whole = ReadAll(elsewhere.file("b.tar"));
  const std::size_t inbox = whole.find("Subject: 1");
  const std::size_t sums = whole.find("quelma-backup.sums");
  ASSERT_NE(inbox, std::string::npos);
  const auto changed = [&whole](std::size_t at, char to) {
    std::string bytes = whole;
    bytes[at] = to;
    return bytes;
  };
  const struct {
    const char* why;
    std::string bytes;
  } cases[] = {
      {"cut inside a mailbox", whole.substr(0, inbox + 3)},
      {"cut before the checksums", whole.substr(0, sums - 345 - 1)},
      {"a byte of a message changed", changed(inbox + 9, 'X')},
      {"a byte of a header changed", changed(1, 'Q')},
      {"empty", ""},
      {"not an archive", std::string(4096, 'a')},
      {"only the end blocks", std::string(1024, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    WriteAll(elsewhere.file("bad.tar"), c.bytes);
    EXPECT_FALSE(RestoreBackup(elsewhere.file("bad.tar"), elsewhere.file("new"), problem));
    EXPECT_FALSE(platform::FileExists(elsewhere.file("new")));
  }
  // A directory with anything in it is never written to.
  platform::MakeDirectory(elsewhere.file("busy"));
  WriteAll(elsewhere.file("busy/mine"), "mine");
  EXPECT_FALSE(RestoreBackup(elsewhere.file("b.tar"), elsewhere.file("busy"), problem));
  EXPECT_EQ(Tree(elsewhere.file("busy")), (std::map<std::string, std::string>{{"mine", "mine"}}));
  // An empty one is taken.
  platform::MakeDirectory(elsewhere.file("empty"));
  EXPECT_TRUE(RestoreBackup(elsewhere.file("b.tar"), elsewhere.file("empty"), problem)) << problem;
}

TEST(Backup, MailboxesAreTakenWholeWhileDeliveriesGoOn) {
  Office office;
  ASSERT_TRUE(Deliver(office.config, office.ivan(), "Subject: first\r\n\r\nx\r\n"));
  std::atomic<bool> done{false};
  std::thread deliveries([&] {
    for (int i = 0; i < 300; ++i) Deliver(office.config, office.ivan(), "Subject: " + std::to_string(i) + "\r\n\r\n" + std::string(3000, 'z') + "\r\n");
    done = true;
  });
  testing::TempDir elsewhere;
  std::vector<std::string> taken;
  for (int n = 0; !done || n < 2; ++n) {
    std::string problem;
    const std::string archive = elsewhere.file("b" + std::to_string(n) + ".tar");
    ASSERT_TRUE(TakeBackup(office.config, office.dir.path(), archive, {}, problem)) << problem;
    const std::string target = elsewhere.file("r" + std::to_string(n));
    ASSERT_TRUE(RestoreBackup(archive, target, problem)) << problem;
    taken.push_back(ReadAll(target + "/maildrop/ivan"));
  }
  deliveries.join();
  const std::string final = ReadAll(office.ivan());
  for (const std::string& copy : taken) {
    // What the final maildrop held up to that moment, ending where a message ends.
    EXPECT_EQ(final.compare(0, copy.size(), copy), 0);
    EXPECT_TRUE(copy.size() == final.size() || final.compare(copy.size(), 5, spool::FormatMaildropSeparator(0).substr(0, 5)) == 0);
  }
}

TEST(Backup, AMemberCutShortIsTakenBackOutOfTheArchive) {
  testing::TempDir dir;
  WriteAll(dir.file("source"), "twelve bytes");
  auto out = platform::OutputFile::Create(dir.file("a.tar"), platform::CreateMode::kTruncate);
  ASSERT_TRUE(out);
  ArchiveWriter writer(*out, 0);
  ASSERT_TRUE(writer.addFile("quelma-backup.txt", "Quelmar backup 1\nplace.MailDropDir=m/\nplace.QueueDir=q/\n"));
  auto in = platform::InputFile::Open(dir.file("source"));
  EXPECT_EQ(writer.addFileFrom("longer", *in, 100), ArchiveWriter::Copied::kShort);
  ASSERT_TRUE(in->rewind());
  EXPECT_EQ(writer.addFileFrom("quelma.cfg", *in, 12), ArchiveWriter::Copied::kWhole);
  ASSERT_TRUE(writer.finish() && out->close());
  std::string problem;
  EXPECT_TRUE(CheckBackupArchive(dir.file("a.tar"), problem)) << problem;
  EXPECT_EQ(ReadAll(dir.file("a.tar")).find("longer"), std::string::npos);
}

}  // namespace
}  // namespace quelma::backup
