// The plain dialogue, the handshake it may ask for, and the dialogue over TLS.
#include "serving/start_tls_serving.h"

#include <memory>

namespace quelma::serving {

void ServeWithStartTls(ClientConnection& client, const std::function<void(const std::string&)>& log,
                       const Dialogue& dialogue) {
  if (!dialogue(client.stream, client.secure) || client.secure || client.tls == nullptr) return;
  std::unique_ptr<net::ByteStream> secure = StartServerTls(*client.tls, client.stream, log);
  if (!secure) return;
  dialogue(*secure, true);  // nothing offers TLS a second time
  secure->close();
}

}  // namespace quelma::serving
