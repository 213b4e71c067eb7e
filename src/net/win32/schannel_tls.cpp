// TLS through Schannel: not yet built in; every handshake is refused.
#include "net/tls.h"

namespace quelma::net {

std::unique_ptr<ByteStream> StartTlsClient(ByteStream&, const TlsClientSettings&, TlsOutcome& outcome) {
  outcome = TlsOutcome{};
  outcome.failure = TlsFailure::kSettings;
  outcome.reason = "TLS is not built into this program yet";
  return nullptr;
}

std::shared_ptr<const TlsServerCredentials> TlsServerCredentials::Load(const std::string&, const std::string&,
                                                                       std::string& error) {
  error = "TLS is not built into this program yet";
  return nullptr;
}

}  // namespace quelma::net
