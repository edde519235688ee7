#include "Bench.Curl.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace Bench {

TCurlGet::TCurlGet(std::string Url, std::int64_t ExpectedSize, TCurlOptions Options)
    : FEasy(curl_easy_init()),
      FHeaders(curl_slist_append(nullptr, "Accept:")),
      FUrl(std::move(Url)),
      FOptions(std::move(Options)),
      FExpected(ExpectedSize) {
    if (FEasy == nullptr || FHeaders == nullptr) {
        curl_easy_cleanup(FEasy);
        curl_slist_free_all(FHeaders);
        throw std::runtime_error("curl: no easy handle");
    }
    curl_easy_setopt(FEasy, CURLOPT_URL, FUrl.c_str());
    curl_easy_setopt(FEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(FEasy, CURLOPT_USERAGENT, FOptions.UserAgent.c_str());
    curl_easy_setopt(FEasy, CURLOPT_HTTPHEADER, FHeaders);
    if (!FOptions.AcceptEncoding.empty())
        curl_easy_setopt(FEasy, CURLOPT_ACCEPT_ENCODING, FOptions.AcceptEncoding.c_str());
    if (FOptions.BufferSize > 0) curl_easy_setopt(FEasy, CURLOPT_BUFFERSIZE, FOptions.BufferSize);
    // curl's own default offers HTTP/2 on https; each comparison names its protocol.
    curl_easy_setopt(FEasy, CURLOPT_HTTP_VERSION,
                     FOptions.Http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
    if (!FOptions.CaFile.empty()) curl_easy_setopt(FEasy, CURLOPT_CAINFO, FOptions.CaFile.c_str());
    curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, this);
    switch (FOptions.Sink) {
        case TCurlSink::Count:
            curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, &CountBytes);
            break;
        case TCurlSink::Copy:
            if (FOptions.CopyBufferSize == 0) {
                curl_easy_cleanup(FEasy);
                curl_slist_free_all(FHeaders);
                throw std::invalid_argument("curl: a copy buffer of no bytes");
            }
            FCopy.resize(FOptions.CopyBufferSize);
            curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, &CopyBytes);
            break;
        case TCurlSink::Collect:
            curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, &CollectBytes);
            break;
    }
}

TCurlGet::~TCurlGet() {
    curl_easy_cleanup(FEasy);
    curl_slist_free_all(FHeaders);
}

std::size_t TCurlGet::CountBytes(char*, std::size_t Size, std::size_t N, void* User) {
    static_cast<TCurlGet*>(User)->FReceived += static_cast<std::int64_t>(Size * N);
    return Size * N;
}

std::size_t TCurlGet::CopyBytes(char* Ptr, std::size_t Size, std::size_t N, void* User) {
    auto* G = static_cast<TCurlGet*>(User);
    const std::size_t Len = Size * N;
    for (std::size_t Done = 0; Done < Len;) {
        if (G->FCopyFill == G->FCopy.size()) G->FCopyFill = 0;
        const std::size_t K = std::min(Len - Done, G->FCopy.size() - G->FCopyFill);
        std::memcpy(G->FCopy.data() + G->FCopyFill, Ptr + Done, K);
        G->FCopyFill += K;
        Done += K;
    }
    G->FReceived += static_cast<std::int64_t>(Len);
    return Len;
}

std::size_t TCurlGet::CollectBytes(char* Ptr, std::size_t Size, std::size_t N, void* User) {
    auto* G = static_cast<TCurlGet*>(User);
    G->FBody.append(Ptr, Size * N);
    G->FReceived += static_cast<std::int64_t>(Size * N);
    return Size * N;
}

void TCurlGet::operator()() {
    FReceived = 0;
    FBody.clear();
    long Status = 0;
    if (curl_easy_perform(FEasy) != CURLE_OK ||
        curl_easy_getinfo(FEasy, CURLINFO_RESPONSE_CODE, &Status) != CURLE_OK || Status != 200 ||
        FReceived != FExpected)
        throw std::runtime_error("curl: transfer of " + FUrl + " failed");
    long Version = 0;
    if (FOptions.Http2 && (curl_easy_getinfo(FEasy, CURLINFO_HTTP_VERSION, &Version) != CURLE_OK ||
                           Version != CURL_HTTP_VERSION_2_0))
        throw std::runtime_error("curl: " + FUrl + " did not come over HTTP/2");
}

}  // namespace Bench
