// Names of the Winsock 1.1 error codes, for the servers' end-of-work lines.
#include "link/activity_log.h"

namespace quelma::link {

std::string WinsockErrorName(int code) {
  static constexpr const char* kFrom10035[] = {
      "WSAEWOULDBLOCK",  "WSAEINPROGRESS",    "WSAEALREADY",       "WSAENOTSOCK",     "WSAEDESTADDRREQ",
      "WSAEMSGSIZE",     "WSAEPROTOTYPE",     "WSAENOPROTOOPT",    "WSAEPROTONOSUPPORT", "WSAESOCKTNOSUPPORT",
      "WSAEOPNOTSUPP",   "WSAEPFNOSUPPORT",   "WSAEAFNOSUPPORT",   "WSAEADDRINUSE",   "WSAEADDRNOTAVAIL",
      "WSAENETDOWN",     "WSAENETUNREACH",    "WSAENETRESET",      "WSAECONNABORTED", "WSAECONNRESET",
      "WSAENOBUFS",      "WSAEISCONN",        "WSAENOTCONN",       "WSAESHUTDOWN",    "WSAETOOMANYREFS",
      "WSAETIMEDOUT",    "WSAECONNREFUSED",   "WSAELOOP",          "WSAENAMETOOLONG", "WSAEHOSTDOWN",
      "WSAEHOSTUNREACH", "WSAENOTEMPTY",      "WSAEPROCLIM",       "WSAEUSERS",       "WSAEDQUOT",
      "WSAESTALE",       "WSAEREMOTE"};
  if (code >= 10035 && code <= 10071) return kFrom10035[code - 10035];
  switch (code) {
    case 10004: return "WSAEINTR";
    case 10009: return "WSAEBADF";
    case 10013: return "WSAEACCES";
    case 10014: return "WSAEFAULT";
    case 10022: return "WSAEINVAL";
    case 10024: return "WSAEMFILE";
    case 10091: return "WSASYSNOTREADY";
    case 10092: return "WSAVERNOTSUPPORTED";
    case 10093: return "WSANOTINITIALISED";
    case 10101: return "WSAEDISCON";
    default: return "unknown reason";
  }
}

}  // namespace quelma::link
