#pragma once
// Access to the WinHTTP functions, bound by name from winhttp.dll at run time (libwinhttp.so
// on Linux), and the one routine that turns their failures into exceptions.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "Runtime.Exception.h"
#include "winhttp.h"

namespace Nimbra {

/// Raised for every failed WinHTTP call. The message states the code in words; Code and
/// SecureFailureFlags carry it as numbers for callers that tell failures apart.
class EWinHttpClientException : public Runtime::Exception {
  public:
    explicit EWinHttpClientException(std::string AMessage, std::uint32_t ACode = 0,
                                     std::uint32_t ASecureFailureFlags = 0)
        : Exception(std::move(AMessage)), FCode(ACode), FSecureFailureFlags(ASecureFailureFlags) {}
    /// The WinHTTP or system error code the call failed with (12002, 12175, 87 ...); 0 when
    /// the failure has none.
    std::uint32_t Code() const noexcept { return FCode; }
    /// For a failed TLS handshake (12175): the WINHTTP_CALLBACK_STATUS_FLAG_* bits WinHTTP
    /// reported for the certificate, as the message's certificate text names them; else 0.
    std::uint32_t SecureFailureFlags() const noexcept { return FSecureFailureFlags; }
    const char* ClassName() const noexcept override { return "EWinHttpClientException"; }

  private:
    std::uint32_t FCode;
    std::uint32_t FSecureFailureFlags;
};

namespace Detail {
[[noreturn]] void RaiseWinHttpNotBound(const char* Name);
}

/// One bound WinHTTP function. Calling it before the library is bound raises
/// EWinHttpClientException instead of calling through a null pointer.
template <typename Sig>
class TWinHttpProc;

template <typename R, typename... A>
class TWinHttpProc<R(A...)> {
  public:
    using TProc = R (*)(A...);
    explicit constexpr TWinHttpProc(const char* AName) noexcept : FName(AName) {}
    TWinHttpProc(const TWinHttpProc&) = delete;
    TWinHttpProc& operator=(const TWinHttpProc&) = delete;

    R operator()(A... Args) const {
        const TProc Proc = FProc.load(std::memory_order_acquire);
        if (!Proc) Detail::RaiseWinHttpNotBound(FName);
        return Proc(Args...);
    }
    const char* Name() const noexcept { return FName; }
    bool Bound() const noexcept { return FProc.load(std::memory_order_acquire) != nullptr; }
    void Bind(void* P) noexcept {
        FProc.store(reinterpret_cast<TProc>(P), std::memory_order_release);
    }

  private:
    const char* FName;
    // Atomic: the first clients of a process may be made on several threads at once, and
    // each may call through the table while another binds it.
    std::atomic<TProc> FProc{nullptr};
};

// The binding table, in binding order. Inside namespace Nimbra these names call through the
// bound pointers; the library itself is never linked.
extern TWinHttpProc<decltype(::WinHttpTimeFromSystemTime)> WinHttpTimeFromSystemTime;
extern TWinHttpProc<decltype(::WinHttpTimeToSystemTime)> WinHttpTimeToSystemTime;
extern TWinHttpProc<decltype(::WinHttpCrackUrl)> WinHttpCrackUrl;
extern TWinHttpProc<decltype(::WinHttpCreateUrl)> WinHttpCreateUrl;
extern TWinHttpProc<decltype(::WinHttpCheckPlatform)> WinHttpCheckPlatform;
extern TWinHttpProc<decltype(::WinHttpGetDefaultProxyConfiguration)>
    WinHttpGetDefaultProxyConfiguration;
extern TWinHttpProc<decltype(::WinHttpSetDefaultProxyConfiguration)>
    WinHttpSetDefaultProxyConfiguration;
extern TWinHttpProc<decltype(::WinHttpOpen)> WinHttpOpen;
extern TWinHttpProc<decltype(::WinHttpCloseHandle)> WinHttpCloseHandle;
extern TWinHttpProc<decltype(::WinHttpConnect)> WinHttpConnect;
extern TWinHttpProc<decltype(::WinHttpReadData)> WinHttpReadData;
extern TWinHttpProc<decltype(::WinHttpWriteData)> WinHttpWriteData;
extern TWinHttpProc<decltype(::WinHttpQueryDataAvailable)> WinHttpQueryDataAvailable;
extern TWinHttpProc<decltype(::WinHttpQueryOption)> WinHttpQueryOption;
extern TWinHttpProc<decltype(::WinHttpSetOption)> WinHttpSetOption;
extern TWinHttpProc<decltype(::WinHttpSetTimeouts)> WinHttpSetTimeouts;
extern TWinHttpProc<decltype(::WinHttpSetStatusCallback)> WinHttpSetStatusCallback;
extern TWinHttpProc<decltype(::WinHttpAddRequestHeaders)> WinHttpAddRequestHeaders;
extern TWinHttpProc<decltype(::WinHttpOpenRequest)> WinHttpOpenRequest;
extern TWinHttpProc<decltype(::WinHttpSendRequest)> WinHttpSendRequest;
extern TWinHttpProc<decltype(::WinHttpSetCredentials)> WinHttpSetCredentials;
extern TWinHttpProc<decltype(::WinHttpQueryAuthSchemes)> WinHttpQueryAuthSchemes;
extern TWinHttpProc<decltype(::WinHttpReceiveResponse)> WinHttpReceiveResponse;
extern TWinHttpProc<decltype(::WinHttpQueryHeaders)> WinHttpQueryHeaders;
extern TWinHttpProc<decltype(::WinHttpDetectAutoProxyConfigUrl)> WinHttpDetectAutoProxyConfigUrl;
extern TWinHttpProc<decltype(::WinHttpGetProxyForUrl)> WinHttpGetProxyForUrl;
extern TWinHttpProc<decltype(::WinHttpGetIEProxyConfigForCurrentUser)>
    WinHttpGetIEProxyConfigForCurrentUser;

/// Loads winhttp.dll once per process and binds every function of the table. The library is
/// looked for beside the executable, then in the folder an installed framework keeps it in
/// (nimbra/ beside the platform library), then on the system's search path. False when
/// the library cannot be loaded (nothing is bound; calls then raise
/// EWinHttpClientException). A missing function raises Runtime::EAssertionFailed
/// ("winhttp.dll - Could not find method: " + name); nothing stays half bound, and the next
/// call binds again and reports it again. Any thread may call it at any time; concurrent
/// first calls load and bind once.
bool LoadWinHttp();

/// Address of one function of the loaded library; raises Runtime::EAssertionFailed when it
/// is missing.
void* GetWinHttpProc(const char* Name);

/// Returns when Success is true; otherwise raises EWinHttpClientException from the calling
/// thread's last error, with Info on a line of its own when not empty.
void WinHttpCheck(bool Success, const std::string& Info = {});

/// Raises EWinHttpClientException for Code, as WinHttpCheck does for the last error, with the
/// certificate flags of a failed TLS handshake where there are some.
[[noreturn]] void RaiseWinHttpError(std::uint32_t Code, const std::string& Info = {},
                                    std::uint32_t SecureFailureFlags = 0);

/// The framework's text for a WinHTTP error code; empty for codes it does not know.
std::string WinHttpErrorText(std::uint32_t Code);

}  // namespace Nimbra
