// nimbra-get URL: sends one GET through Nimbra and prints the status line it got.
// Exit codes: 0 for 200, 1 for another status, 2 for bad usage, 3 when the request failed.

#include <iostream>
#include <string>

#include "Nimbra.Uri.h"
#include "Nimbra.WinHttp.Api.h"

// Inside the namespace the WinHTTP names are the functions the framework bound at run time.
namespace Nimbra {
namespace {

std::u16string Utf16(const std::string& Ascii) {
    return {Ascii.begin(), Ascii.end()};
}

// One WinHTTP handle, closed on every way out.
struct THandle {
    HINTERNET H;
    ~THandle() {
        if (H) WinHttpCloseHandle(H);
    }
};

int Get(const TUri& Uri) {
    if (!LoadWinHttp()) WinHttpCheck(false, "libwinhttp.so was not found");
    THandle Session{
        WinHttpOpen(u"nimbra-get/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0)};
    WinHttpCheck(Session.H != nullptr);
    THandle Connect{WinHttpConnect(Session.H, Utf16(Uri.Host()).c_str(),
                                   static_cast<INTERNET_PORT>(Uri.Port()), 0)};
    WinHttpCheck(Connect.H != nullptr);
    THandle Request{WinHttpOpenRequest(Connect.H, u"GET", Utf16(Uri.AbsolutePath()).c_str(),
                                       nullptr, nullptr, nullptr,
                                       Uri.Scheme() == "https" ? WINHTTP_FLAG_SECURE : 0)};
    WinHttpCheck(Request.H != nullptr);
    WinHttpCheck(WinHttpSendRequest(Request.H, nullptr, 0, nullptr, 0, 0, 0));
    WinHttpCheck(WinHttpReceiveResponse(Request.H, nullptr));
    DWORD Status = 0;
    DWORD Size = sizeof Status;
    WinHttpCheck(WinHttpQueryHeaders(Request.H,
                                     WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr,
                                     &Status, &Size, nullptr));
    std::cout << "GET " << Uri.AbsoluteUri() << " -> " << Status << "\n";
    return Status == 200 ? 0 : 1;
}

}  // namespace
}  // namespace Nimbra

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: nimbra-get URL\n";
        return 2;
    }
    try {
        return Nimbra::Get(Nimbra::TUri(argv[1]));
    } catch (const std::exception& E) {
        std::cerr << "nimbra-get: " << E.what() << "\n";
        return 3;
    }
}
