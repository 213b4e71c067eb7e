// "quelma --dir DIR check-tls HOST PORT [stls|starttls|ssl]": connects as the clients do,
// prints the certificate chain the server sent, the host-name check and the verdict, with the
// trusted-certificates file of quelma.cfg. Exit code 0 only when the certificate is trusted.
#pragma once

#include <string>
#include <vector>

namespace quelma::app {

int CheckTls(const std::string& programDir, const std::vector<std::string>& arguments);

}  // namespace quelma::app
