// Fuzz target: any bytes as what an identity platform or a mail server says about a token: the
// body of each token-endpoint reply (any status), and a SASL error challenge. Nothing may crash,
// and no description may carry a control byte into the log.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/sasl_oauth.h"
#include "oauth/token_endpoint.h"

using namespace quelma;

namespace {

bool Printable(const std::string& text) {
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) < 32 || ch == '\x7f') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const long status = size > 0 && data[0] % 2 ? 400 : 200;
  const oauth::OauthPlatform platform{"fuzz", "https://idp.test/device", "https://idp.test/authorize",
                                      "https://idp.test/token", "client", {}, "mail", oauth::FirstLogin::kDevice};
  const oauth::TokenEndpoint endpoint(platform, {}, [&](const std::string&, const std::string&, const net::HttpsOptions&) {
    return net::HttpsReply{status, bytes, net::HttpsFailure::kNone, {}};
  });
  for (const oauth::TokenOutcome& outcome : {endpoint.refresh("r"), endpoint.pollDeviceLogin("d"),
                                              endpoint.exchangeCode("c", "v", "http://127.0.0.1:1/")}) {
    if (!Printable(outcome.description) || !Printable(outcome.error)) __builtin_trap();
    if (outcome.kind == oauth::TokenOutcome::Kind::kToken && outcome.accessToken.empty()) __builtin_trap();
  }
  const oauth::DeviceAuthorization device = endpoint.startDeviceLogin();
  if (!Printable(device.userCode) || !Printable(device.verificationUri) || !Printable(device.description)) __builtin_trap();
  if (device.ok && (device.interval < 1 || device.expiresIn < 1)) __builtin_trap();
  if (!Printable(net::OauthErrorSummary(bytes))) __builtin_trap();
  return 0;
}
