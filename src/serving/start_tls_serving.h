// The STLS / STARTTLS turn both local servers take: a plain dialogue, and when the client asks
// for TLS, the handshake and a new dialogue over it.
#pragma once

#include <functional>
#include <string>

#include "serving/server_thread.h"
#include "net/byte_stream.h"

namespace quelma::serving {

// Serves one dialogue on `stream` (`secure`: TLS is up); true when it ended because the client
// asked for TLS and was told to begin.
using Dialogue = std::function<bool(net::ByteStream& stream, bool secure)>;

// Runs `dialogue` on the client's connection; when it asks for TLS, the handshake (its outcome
// logged through `log`) and, once TLS is up, a second dialogue that starts over: what the client
// sent before the handshake went with the first dialogue's reader.
void ServeWithStartTls(ClientConnection& client, const std::function<void(const std::string&)>& log,
                       const Dialogue& dialogue);

}  // namespace quelma::serving
