// The HTTPS exchange on Linux, through libcurl (over OpenSSL). The extra trusted certificates
// go into the connection's own certificate store from libcurl's SSL_CTX callback, and libcurl
// loads the system's bundle into that same store (Debian 12's libcurl right after the callback,
// newer ones before it), so they widen the system's trust instead of replacing it as
// CURLOPT_CAINFO would. libcurl's cache of stores is off, so no store with them is shared.
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "net/https_transport.h"
#include "net/tls.h"

namespace quelma::net {
namespace {

// curl_global_init is not to be raced; the first exchange of any thread runs it.
bool GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

struct Exchange {
  const HttpsUrl* url = nullptr;
  const HttpsOptions* options = nullptr;
  std::string body;
  bool tooLarge = false;
  std::string caFileWhy;  // set when the extra trusted-certificates file could not be used
};

std::size_t KeepBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  const std::size_t bytes = size * count;
  if (bytes > kHttpsBodyLimit - exchange.body.size()) {
    exchange.tooLarge = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  exchange.body.append(data, bytes);
  return bytes;
}

// Prepares the TLS context of the connection. The host name goes into OpenSSL's own check as
// well (libcurl checks it again afterwards), so a name that does not match is told apart from
// a chain that is not trusted.
CURLcode PrepareTls(CURL*, void* sslContext, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  auto* ssl = static_cast<SSL_CTX*>(sslContext);
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ssl);
  const std::string& host = exchange.url->host;
  const bool named = IsAddressLiteral(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                                            : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
  if (!named) return CURLE_SSL_CONNECT_ERROR;
  if (exchange.options->caFile.empty()) return CURLE_OK;
  const char* file = exchange.options->caFile.c_str();
  X509_STORE* store = SSL_CTX_get_cert_store(ssl);
  if (!store || X509_STORE_load_file(store, file) != 1) {
    ERR_clear_error();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> readable(std::fopen(file, "rb"), std::fclose);
    exchange.caFileWhy = readable ? "no certificate in the file" : "the file cannot be read";
    return CURLE_SSL_CACERT_BADFILE;
  }
  return CURLE_OK;
}

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What a refused certificate was refused for, by OpenSSL's verdict; without one (X509_V_OK, or
// libcurl's "unspecified") OpenSSL took it and only libcurl's own host name check refused it.
HttpsFailure CertificateFailure(long verifyResult) {
  switch (verifyResult) {
    case X509_V_OK:
    case X509_V_ERR_UNSPECIFIED:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return HttpsFailure::kHostName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return HttpsFailure::kExpired;
    default: return HttpsFailure::kUntrusted;
  }
}

HttpsFailure FailureOf(CURLcode code, CURL* curl, const Exchange& exchange) {
  long value = 0;
  switch (code) {
    case CURLE_OK: return HttpsFailure::kNone;
    case CURLE_COULDNT_RESOLVE_HOST: return HttpsFailure::kResolve;
    case CURLE_COULDNT_CONNECT:
      curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &value);
      return value == ECONNREFUSED ? HttpsFailure::kRefused : HttpsFailure::kConnect;
    case CURLE_OPERATION_TIMEDOUT: return HttpsFailure::kTimeout;
    case CURLE_PEER_FAILED_VERIFICATION:
      curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &value);
      return CertificateFailure(value);
    case CURLE_SSL_CACERT_BADFILE:
      return exchange.caFileWhy.empty() ? HttpsFailure::kOther : HttpsFailure::kCaFile;
    case CURLE_SSL_CONNECT_ERROR: return HttpsFailure::kTls;
    case CURLE_FILESIZE_EXCEEDED: return HttpsFailure::kTooLarge;
    case CURLE_WRITE_ERROR: return exchange.tooLarge ? HttpsFailure::kTooLarge : HttpsFailure::kOther;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return HttpsFailure::kBroken;
    default: return HttpsFailure::kOther;
  }
}

}  // namespace

HttpsExchange PostForm(const HttpsUrl& url, const std::string& formBody, const HttpsOptions& options) {
  HttpsExchange result;
  // Everything libcurl holds a pointer to outlives the handle.
  Exchange exchange;
  exchange.url = &url;
  exchange.options = &options;
  std::unique_ptr<curl_slist, ListDeleter> headers;
  for (const char* header : {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json", "Expect:"}) {
    if (curl_slist* longer = curl_slist_append(headers.get(), header)) {
      (void)headers.release();  // the same list, one longer
      headers.reset(longer);
    }
  }
  std::string words(CURL_ERROR_SIZE, '\0');
  const std::string target = url.text();
  std::unique_ptr<CURL, EasyDeleter> curl(GlobalInit() ? curl_easy_init() : nullptr);
  if (!curl || !headers) {
    result.failure = HttpsFailure::kOther;
    result.detail = "libcurl cannot be started";
    return result;
  }
  CURL* c = curl.get();
  // What the checks rest on must be there; a libcurl without it is refused rather than trusted.
  const bool essential =
      curl_easy_setopt(c, CURLOPT_URL, target.c_str()) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https,http") == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, PrepareTls) == CURLE_OK &&
      curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &exchange) == CURLE_OK;
  if (!essential) {
    result.failure = HttpsFailure::kOther;
    result.detail = std::string("this libcurl cannot keep to TLS 1.2 and OpenSSL's checks: ") + curl_version();
    return result;
  }
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // none, whatever the environment says
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeoutMs));
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.timeoutMs));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
#if LIBCURL_VERSION_NUM >= 0x075700
  curl_easy_setopt(c, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, formBody.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(formBody.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Quelmar");
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kHttpsBodyLimit));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, KeepBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &exchange);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, words.data());

  const CURLcode code = curl_easy_perform(c);
  result.failure = FailureOf(code, c, exchange);
  if (result.failure == HttpsFailure::kCaFile) {
    result.detail = exchange.caFileWhy;
  } else if (result.failure != HttpsFailure::kNone && result.failure != HttpsFailure::kTooLarge) {
    words.resize(std::strlen(words.c_str()));
    result.detail = words.empty() ? curl_easy_strerror(code) : words;
  }
  if (result.failure != HttpsFailure::kNone) return result;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
  result.body = std::move(exchange.body);
  return result;
}

}  // namespace quelma::net
