#include "common/uOVCurl.h"

#include <cstdlib>
#include <mutex>

namespace uOVCurl {

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void SetTrustStore(CURL* AHandle) {
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    const bool fileSet = file && *file;
    const bool dirSet = dir && *dir;
    if (!fileSet && !dirSet)
        return;
    curl_easy_setopt(AHandle, CURLOPT_CAINFO, fileSet ? file : nullptr);
    curl_easy_setopt(AHandle, CURLOPT_CAPATH, dirSet ? dir : nullptr);
}

} // namespace uOVCurl
