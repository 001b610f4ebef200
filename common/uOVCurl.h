#pragma once
// What the FTP client and the mail sender share of libcurl: its one-time
// start-up and the trust store for TLS.
#include <curl/curl.h>

namespace uOVCurl {

// curl_global_init, once per process.
void GlobalInit();

// The system's trust store, unless the standard OpenSSL variables
// SSL_CERT_FILE / SSL_CERT_DIR name another one (a private authority).
void SetTrustStore(CURL* AHandle);

} // namespace uOVCurl
