// The longest lines the program takes as one, for every place that reads or stores them.
#pragma once

#include <cstddef>

namespace quelma::net {

// An SMTP line: a command to our server (CR LF included), the whole of a provider's reply
// that is kept, a line of a message as stored or queued. A longer line of text is kept in
// pieces of this size, each ended by CR LF.
inline constexpr std::size_t kMaxSmtpLine = 1199;

// A POP3 line: a command to our server, CR LF included; of a provider's reply line, what is
// kept before its line feed.
inline constexpr std::size_t kMaxPop3Line = 1999;

}  // namespace quelma::net
