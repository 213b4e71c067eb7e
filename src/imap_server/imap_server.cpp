// The IMAP server: the shared server thread with the IMAP greeting and session, and the loop
// around a session: commands read whole, STARTTLS and COMPRESS laid over the connection, IDLE
// waiting on the client and the mailbox at once.
#include "imap_server/imap_server.h"

#include <chrono>

#include "imap_server/command_reader.h"
#include "imap_server/imap_replies.h"
#include "imap_server/imap_session.h"
#include "net/deflate_stream.h"
#include "net/reply_sink.h"
#include "net/wake_signal.h"
#include "serving/session_runner.h"

namespace quelma::imap_server {
namespace {

constexpr serving::ServerTexts kTexts = {logtext::kStarting, logtext::kRunningOnPort, logtext::kNotRunningBegin,
                                         logtext::kNotRunningEnd, reply::kTooManySessions};

// A client may stay connected without a word this long (IMAP's autologout timer), in IDLE too.
constexpr std::chrono::minutes kInactivity{30};

// Replies go to whichever stream is on top now (plain, TLS, compressed), gathered so that a
// FETCH of many messages leaves in large sends; whatever is gathered goes before the server
// waits for the client and before the stream beneath changes.
class TopSink final : public net::ReplySink {
 public:
  explicit TopSink(net::ByteStream*& stream) : stream_(stream) {}
  bool send(std::string_view bytes) override {
    if (failed_) return false;
    if (gathered_.size() + bytes.size() <= kGather) {
      gathered_ += bytes;
      return true;
    }
    if (!flush()) return false;
    if (bytes.size() >= kGather) return !(failed_ = !stream_->sendAll(bytes));
    gathered_ = bytes;
    return true;
  }
  bool flush() {
    if (!failed_ && !gathered_.empty()) failed_ = !stream_->sendAll(gathered_);
    gathered_.clear();
    return !failed_;
  }

 private:
  static constexpr std::size_t kGather = 64 * 1024;
  net::ByteStream*& stream_;
  std::string gathered_;
  bool failed_ = false;
};

enum class Wait { kInput, kWoken, kTimedOut };

// Until the client sends something, `wake` is raised, or `limit` passes.
Wait WaitForClient(TopSink& sink, const net::ByteStream& stream, const CommandReader& reader,
                   const net::WakeSignal* wake, std::chrono::milliseconds limit) {
  if (!sink.flush()) return Wait::kTimedOut;  // the connection failed: a receive tells
  if (reader.hasPending() || stream.holdsInput()) return Wait::kInput;
  const platform::Socket* socket = stream.socketBeneath();
  if (!socket) return Wait::kInput;  // nothing to wait on: the receive waits
  std::vector<const platform::Socket*> sockets{socket};
  if (wake && wake->valid()) sockets.push_back(&wake->socket());
  const int ready = platform::Socket::WaitReadable(sockets, static_cast<std::uint32_t>(limit.count()));
  if (ready == 1) return Wait::kWoken;
  if (ready == 0) return Wait::kInput;
  // A time-out, or an error (a connection woken for the stop): a receive tells which.
  return Wait::kTimedOut;
}

class Connection {
 public:
  Connection(serving::ServerContext& c, serving::ClientConnection& client)
      : c_(c), client_(client), stream_(&client.stream), sink_(stream_) {}

  void serve() {
    const auto address = client_.stream.peerAddress();
    ImapSessionOptions options;
    options.offerStartTls = client_.tls != nullptr && !client_.secure;
    options.secure = client_.secure;
    options.client = address ? address->toString() : "unknown";
    options.guard = &c_.loginGuard;
    options.fromThisComputer = client_.fromThisComputer;
    options.challenge = serving::NewLoginChallenge(client_.config->LocalDomain);
    ImapSession session(client_.config, c_.log, sink_, options);
    session_ = &session;
    if (!sink_.send(session.greeting())) return;
    newReader();
    ImapSession::Next next = ImapSession::Next::kCommand;
    while (next != ImapSession::Next::kEnd) next = step(next);
    sink_.flush();
    if (!session.loggedIn()) c_.log.LogImapSrv(logtext::kLostAtLogin);
  }

 private:
  void newReader() {
    reader_ = std::make_unique<CommandReader>(
        [this](char* b, std::size_t n) { return sink_.flush() ? stream_->receive(b, n) : -1; },
        [this](std::string_view soFar) { return session_->literalLimit(soFar); },
        [this] { return sink_.send(reply::kAppendContinue) && sink_.flush(); });
  }

  ImapSession::Next step(ImapSession::Next next) {
    using Next = ImapSession::Next;
    switch (next) {
      case Next::kCommand: {
        const Wait waited = WaitForClient(sink_, *stream_, *reader_, nullptr, kInactivity);
        if (waited == Wait::kTimedOut && !reader_->hasPending()) {
          // Either the time is up or the connection failed; a word of goodbye either way.
          sink_.send(reply::kIdleTimeout);
          return Next::kEnd;
        }
        const CommandReader::Command command = reader_->next();
        serving::RenewSessionLifetime();
        return session_->command(command);
      }
      case Next::kAuthenticate: {
        const auto line = reader_->nextLine();
        return line ? session_->authenticateLine(*line) : Next::kEnd;
      }
      case Next::kIdle: return idle();
      case Next::kStartTls: {
        if (!client_.tls || !sink_.flush()) return Next::kEnd;
        tls_ = serving::StartServerTls(*client_.tls, *stream_, [this](const std::string& t) { c_.log.LogImapSrv(t); });
        if (!tls_) return Next::kEnd;
        stream_ = tls_.get();
        session_->tlsStarted();
        newReader();  // nothing sent before the handshake counts after it
        return Next::kCommand;
      }
      case Next::kCompress: {
        if (!sink_.flush()) return Next::kEnd;
        deflate_ = std::make_unique<net::DeflateStream>(*stream_);
        if (!deflate_->ready()) return Next::kEnd;
        stream_ = deflate_.get();
        newReader();
        return Next::kCommand;
      }
      case Next::kEnd: break;
    }
    return Next::kEnd;
  }

  // IDLE: the client's DONE, or a change of the mailbox told at once, or the end of patience.
  ImapSession::Next idle() {
    net::WakeSignal wake;
    wake.open();
    const auto box = session_->idleMailbox();
    const auto subscription = box ? box->subscribe([&wake] { wake.raise(); }) : nullptr;
    // What changed between the command and the subscription.
    if (!session_->idleUpdate()) return ImapSession::Next::kEnd;
    const auto deadline = std::chrono::steady_clock::now() + kInactivity;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        sink_.send(reply::kIdleTimeout);
        return ImapSession::Next::kEnd;
      }
      switch (WaitForClient(sink_, *stream_, *reader_, &wake, left)) {
        case Wait::kWoken:
          wake.clear();
          if (!session_->idleUpdate()) return ImapSession::Next::kEnd;
          continue;
        case Wait::kTimedOut:
          // The deadline, or a wait that failed: the connection is no more.
          if (deadline - std::chrono::steady_clock::now() > std::chrono::seconds(1)) return ImapSession::Next::kEnd;
          continue;
        case Wait::kInput: {
          const auto line = reader_->nextLine();
          if (!line) return ImapSession::Next::kEnd;
          serving::RenewSessionLifetime();
          return session_->idleLine(*line);
        }
      }
    }
  }

  serving::ServerContext& c_;
  serving::ClientConnection& client_;
  net::ByteStream* stream_;
  TopSink sink_;
  std::unique_ptr<net::ByteStream> tls_;
  std::unique_ptr<net::DeflateStream> deflate_;
  std::unique_ptr<CommandReader> reader_;
  ImapSession* session_ = nullptr;
};

}  // namespace

int RunImapServer(serving::ServerContext c) {
  auto log = [&c](const std::string& text) { c.log.LogImapSrv(text); };
  const auto config = c.config.current();
  return serving::RunServerThread(c, kTexts, config->IMAP_SRV_PORT, config->IMAP_SRV_TLS_PORT, log,
                                  [&c](serving::ClientConnection& client) { Connection(c, client).serve(); });
}

}  // namespace quelma::imap_server
