#include "Bench.Curl.h"

#include <curl/curl.h>

#include <stdexcept>

namespace Bench {

namespace {
std::size_t CountBytes(char*, std::size_t Size, std::size_t N, void* User) {
    *static_cast<std::int64_t*>(User) += static_cast<std::int64_t>(Size * N);
    return Size * N;
}
}  // namespace

TCurlGet::TCurlGet(std::string Url, std::int64_t ExpectedSize, const char* UserAgent)
    : FEasy(curl_easy_init()),
      FHeaders(curl_slist_append(nullptr, "Accept:")),
      FUrl(std::move(Url)),
      FExpected(ExpectedSize) {
    if (FEasy == nullptr || FHeaders == nullptr) {
        curl_easy_cleanup(FEasy);
        curl_slist_free_all(FHeaders);
        throw std::runtime_error("curl: no easy handle");
    }
    curl_easy_setopt(FEasy, CURLOPT_URL, FUrl.c_str());
    curl_easy_setopt(FEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(FEasy, CURLOPT_USERAGENT, UserAgent);
    curl_easy_setopt(FEasy, CURLOPT_HTTPHEADER, FHeaders);
    curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, &CountBytes);
    curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, &FReceived);
}

TCurlGet::~TCurlGet() {
    curl_easy_cleanup(FEasy);
    curl_slist_free_all(FHeaders);
}

void TCurlGet::operator()() {
    FReceived = 0;
    long Status = 0;
    if (curl_easy_perform(FEasy) != CURLE_OK ||
        curl_easy_getinfo(FEasy, CURLINFO_RESPONSE_CODE, &Status) != CURLE_OK || Status != 200 ||
        FReceived != FExpected)
        throw std::runtime_error("curl: transfer of " + FUrl + " failed");
}

}  // namespace Bench
