// An identity platform played in memory for the OAuth tests: the requests it received, and
// replies chosen per request by the test.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/https_client.h"
#include "oauth/token_endpoint.h"

namespace quelma::oauth {

struct FakeIdentityPlatform {
  struct Request {
    std::string url;
    std::map<std::string, std::string> form;
  };
  std::vector<Request> requests;
  // The reply to a request; the default gives nothing.
  std::function<net::HttpsReply(const Request&)> answer = [](const Request&) {
    return net::HttpsReply{0, {}, net::HttpsFailure::kRefused, "соединение отвергнуто"};
  };

  HttpsPoster poster() {
    return [this](const std::string& url, const std::string& form, const net::HttpsOptions&) {
      Request request{url, Decode(form)};
      requests.push_back(request);
      return answer(request);
    };
  }

  static net::HttpsReply Json(long status, const std::string& body) { return {status, body, net::HttpsFailure::kNone, {}}; }

  static std::map<std::string, std::string> Decode(const std::string& form) {
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= form.size()) {
      const std::size_t end = std::min(form.find('&', start), form.size());
      const std::string pair = form.substr(start, end - start);
      const std::size_t eq = pair.find('=');
      std::string value;
      const std::string raw = eq == std::string::npos ? "" : pair.substr(eq + 1);
      for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size() + 1) {
          value.push_back(static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16)));
          i += 2;
        } else {
          value.push_back(raw[i] == '+' ? ' ' : raw[i]);
        }
      }
      fields[pair.substr(0, eq)] = value;
      start = end + 1;
    }
    return fields;
  }
};

}  // namespace quelma::oauth
