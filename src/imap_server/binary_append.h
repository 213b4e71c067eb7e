// A message appended in binary (APPEND with "~{n}") as the store keeps it: every part whose
// body holds NUL bytes is given base64 transfer encoding, so no answer ever has to carry a NUL
// in a literal; any other message is kept as it came.
#pragma once

#include <string>
#include <string_view>

namespace quelma::imap_server {

std::string WithoutNulBodies(std::string_view message);

}  // namespace quelma::imap_server
