// Fuzz target: any mailbox file and any client bytes through the IMAP command reader and
// session, logged in and with INBOX selected first: every command, literal and bound.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "imap_server/command_reader.h"
#include "imap_server/imap_session.h"
#include "platform/byte_source.h"
#include "platform/files.h"
#include "spool/mailbox.h"
#include "spool/mailbox_keeper.h"

using namespace quelma;

using fuzz::FixedClock;
using fuzz::NullWindow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = "/tmp/quelma-fuzz-imap-" + std::to_string(::getpid()) + "/";
  static const bool made = platform::MakeDirectory(dir) || platform::IsDirectory(dir);
  if (!made) return 0;
  std::error_code ignored;
  std::filesystem::remove_all(dir + "ivan.folders", ignored);
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find(std::string("\0\0", 2));
  if (auto out = platform::OutputFile::Create(dir + "ivan", platform::CreateMode::kTruncate)) {
    out->write(input.substr(0, split));
  }
  std::string commands = split == std::string::npos ? std::string() : input.substr(split + 2);
  commands = "a LOGIN ivan x\r\nb SELECT INBOX\r\n" + commands + "\r\nz LOGOUT\r\n";

  auto config = std::make_shared<config::Configuration>();
  config->MailDropDir = dir;
  config->QueueDir = dir;
  config->PLAINTEXT_LOGIN = config::PlaintextLogin::kYes;
  config->users = {{"ivan", "", ""}};
  NullWindow window;
  link::ServerControl control;
  FixedClock clock;
  link::ActivityLog log(window, control, clock);
  fuzz::NullSink sink;
  {
    imap_server::ImapSessionOptions options;
    options.challenge = "<1.2@office.ru>";
    imap_server::ImapSession session(config, log, sink, options);
    platform::StringSource source(commands);
    imap_server::CommandReader reader([&source](char* b, std::size_t n) { return static_cast<long>(source.read(b, n)); },
                                      [&session](std::string_view soFar) { return session.literalLimit(soFar); },
                                      [] { return true; });
    using Next = imap_server::ImapSession::Next;
    Next next = Next::kCommand;
    while (next != Next::kEnd) {
      if (next == Next::kAuthenticate || next == Next::kIdle) {
        const auto line = reader.nextLine();
        if (!line) break;
        next = next == Next::kIdle ? session.idleLine(*line) : session.authenticateLine(*line);
        continue;
      }
      if (next != Next::kCommand) break;  // TLS or compression: the stream would change
      next = session.command(reader.next());
    }
  }
  spool::FinishCompactions();
  spool::Mailbox::ForgetIdle();
  return 0;
}
