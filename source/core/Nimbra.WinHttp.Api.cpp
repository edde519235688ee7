#include "Nimbra.WinHttp.Api.h"

#include <atomic>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "Os.Error.h"
#include "Os.Library.h"
#include "Runtime.Format.h"

namespace Nimbra {

TWinHttpProc<decltype(::WinHttpTimeFromSystemTime)> WinHttpTimeFromSystemTime{
    "WinHttpTimeFromSystemTime"};
TWinHttpProc<decltype(::WinHttpTimeToSystemTime)> WinHttpTimeToSystemTime{
    "WinHttpTimeToSystemTime"};
TWinHttpProc<decltype(::WinHttpCrackUrl)> WinHttpCrackUrl{"WinHttpCrackUrl"};
TWinHttpProc<decltype(::WinHttpCreateUrl)> WinHttpCreateUrl{"WinHttpCreateUrl"};
TWinHttpProc<decltype(::WinHttpCheckPlatform)> WinHttpCheckPlatform{"WinHttpCheckPlatform"};
TWinHttpProc<decltype(::WinHttpGetDefaultProxyConfiguration)> WinHttpGetDefaultProxyConfiguration{
    "WinHttpGetDefaultProxyConfiguration"};
TWinHttpProc<decltype(::WinHttpSetDefaultProxyConfiguration)> WinHttpSetDefaultProxyConfiguration{
    "WinHttpSetDefaultProxyConfiguration"};
TWinHttpProc<decltype(::WinHttpOpen)> WinHttpOpen{"WinHttpOpen"};
TWinHttpProc<decltype(::WinHttpCloseHandle)> WinHttpCloseHandle{"WinHttpCloseHandle"};
TWinHttpProc<decltype(::WinHttpConnect)> WinHttpConnect{"WinHttpConnect"};
TWinHttpProc<decltype(::WinHttpReadData)> WinHttpReadData{"WinHttpReadData"};
TWinHttpProc<decltype(::WinHttpWriteData)> WinHttpWriteData{"WinHttpWriteData"};
TWinHttpProc<decltype(::WinHttpQueryDataAvailable)> WinHttpQueryDataAvailable{
    "WinHttpQueryDataAvailable"};
TWinHttpProc<decltype(::WinHttpQueryOption)> WinHttpQueryOption{"WinHttpQueryOption"};
TWinHttpProc<decltype(::WinHttpSetOption)> WinHttpSetOption{"WinHttpSetOption"};
TWinHttpProc<decltype(::WinHttpSetTimeouts)> WinHttpSetTimeouts{"WinHttpSetTimeouts"};
TWinHttpProc<decltype(::WinHttpSetStatusCallback)> WinHttpSetStatusCallback{
    "WinHttpSetStatusCallback"};
TWinHttpProc<decltype(::WinHttpAddRequestHeaders)> WinHttpAddRequestHeaders{
    "WinHttpAddRequestHeaders"};
TWinHttpProc<decltype(::WinHttpOpenRequest)> WinHttpOpenRequest{"WinHttpOpenRequest"};
TWinHttpProc<decltype(::WinHttpSendRequest)> WinHttpSendRequest{"WinHttpSendRequest"};
TWinHttpProc<decltype(::WinHttpSetCredentials)> WinHttpSetCredentials{"WinHttpSetCredentials"};
TWinHttpProc<decltype(::WinHttpQueryAuthSchemes)> WinHttpQueryAuthSchemes{
    "WinHttpQueryAuthSchemes"};
TWinHttpProc<decltype(::WinHttpReceiveResponse)> WinHttpReceiveResponse{"WinHttpReceiveResponse"};
TWinHttpProc<decltype(::WinHttpQueryHeaders)> WinHttpQueryHeaders{"WinHttpQueryHeaders"};
TWinHttpProc<decltype(::WinHttpDetectAutoProxyConfigUrl)> WinHttpDetectAutoProxyConfigUrl{
    "WinHttpDetectAutoProxyConfigUrl"};
TWinHttpProc<decltype(::WinHttpGetProxyForUrl)> WinHttpGetProxyForUrl{"WinHttpGetProxyForUrl"};
TWinHttpProc<decltype(::WinHttpGetIEProxyConfigForCurrentUser)>
    WinHttpGetIEProxyConfigForCurrentUser{"WinHttpGetIEProxyConfigForCurrentUser"};

namespace {

const char* const LibraryName = "winhttp.dll";

// An installed framework keeps libwinhttp.so in this folder beside its platform library
// (lib/nimbra next to lib/libostrel_os.so): it is loaded by name, never linked, so it stays
// out of the linker's search path. The install rule in platform/winhttp uses the same name.
const char* const InstalledLibraryFolder = "nimbra";

// The loaded library for the whole process, released when the process ends. Loading and
// binding happen under Lock; Bound and LoadError are also read without it.
class TWinHttpModule {
  public:
    ~TWinHttpModule() {
        if (Os::HMODULE H = Handle.load()) Os::FreeLibrary(H);
    }
    std::mutex Lock;
    std::atomic<Os::HMODULE> Handle{nullptr};
    std::atomic<bool> Bound{false};
    std::atomic<std::uint32_t> LoadError{ERROR_MOD_NOT_FOUND};  // why calls cannot be made yet
};

TWinHttpModule GModule;

// Binds all or nothing: a table with a gap would fail later in a less clear way.
void BindAll() {
    struct TEntry {
        const char* Name;
        void (*Bind)(void*);
    };
#define NIMBRA_WINHTTP_ENTRY(F)        \
    TEntry {                           \
#F, [](void* P) { F.Bind(P); } \
    }
    static const TEntry Table[] = {
        NIMBRA_WINHTTP_ENTRY(WinHttpTimeFromSystemTime),
        NIMBRA_WINHTTP_ENTRY(WinHttpTimeToSystemTime),
        NIMBRA_WINHTTP_ENTRY(WinHttpCrackUrl),
        NIMBRA_WINHTTP_ENTRY(WinHttpCreateUrl),
        NIMBRA_WINHTTP_ENTRY(WinHttpCheckPlatform),
        NIMBRA_WINHTTP_ENTRY(WinHttpGetDefaultProxyConfiguration),
        NIMBRA_WINHTTP_ENTRY(WinHttpSetDefaultProxyConfiguration),
        NIMBRA_WINHTTP_ENTRY(WinHttpOpen),
        NIMBRA_WINHTTP_ENTRY(WinHttpCloseHandle),
        NIMBRA_WINHTTP_ENTRY(WinHttpConnect),
        NIMBRA_WINHTTP_ENTRY(WinHttpReadData),
        NIMBRA_WINHTTP_ENTRY(WinHttpWriteData),
        NIMBRA_WINHTTP_ENTRY(WinHttpQueryDataAvailable),
        NIMBRA_WINHTTP_ENTRY(WinHttpQueryOption),
        NIMBRA_WINHTTP_ENTRY(WinHttpSetOption),
        NIMBRA_WINHTTP_ENTRY(WinHttpSetTimeouts),
        NIMBRA_WINHTTP_ENTRY(WinHttpSetStatusCallback),
        NIMBRA_WINHTTP_ENTRY(WinHttpAddRequestHeaders),
        NIMBRA_WINHTTP_ENTRY(WinHttpOpenRequest),
        NIMBRA_WINHTTP_ENTRY(WinHttpSendRequest),
        NIMBRA_WINHTTP_ENTRY(WinHttpSetCredentials),
        NIMBRA_WINHTTP_ENTRY(WinHttpQueryAuthSchemes),
        NIMBRA_WINHTTP_ENTRY(WinHttpReceiveResponse),
        NIMBRA_WINHTTP_ENTRY(WinHttpQueryHeaders),
        NIMBRA_WINHTTP_ENTRY(WinHttpDetectAutoProxyConfigUrl),
        NIMBRA_WINHTTP_ENTRY(WinHttpGetProxyForUrl),
        NIMBRA_WINHTTP_ENTRY(WinHttpGetIEProxyConfigForCurrentUser),
    };
#undef NIMBRA_WINHTTP_ENTRY
    void* Procs[std::size(Table)];
    for (std::size_t I = 0; I < std::size(Table); ++I) {
        try {
            Procs[I] = GetWinHttpProc(Table[I].Name);
        } catch (...) {
            GModule.LoadError = ERROR_PROC_NOT_FOUND;
            throw;
        }
    }
    for (std::size_t I = 0; I < std::size(Table); ++I) Table[I].Bind(Procs[I]);
    GModule.Bound.store(true, std::memory_order_release);
}

std::string StandardMessage(std::uint32_t Code) {
    std::string Text =
        Code >= 12000 && Code <= 12186 ? WinHttpErrorText(Code) : Os::SysErrorMessage(Code);
    return Runtime::Format("Could not perform WinHttp operation.\r\nError: (%u) %s", Code, Text);
}

}  // namespace

namespace Detail {
void RaiseWinHttpNotBound(const char* Name) {
    const std::uint32_t Code = GModule.LoadError;
    throw EWinHttpClientException(
        StandardMessage(Code) + "\r\n" + Runtime::Format("winhttp.dll is not loaded (%s)", Name),
        Code);
}
}  // namespace Detail

bool LoadWinHttp() {
    if (GModule.Bound.load(std::memory_order_acquire)) return true;
    const std::lock_guard<std::mutex> Guard(GModule.Lock);
    if (GModule.Bound.load(std::memory_order_relaxed)) return true;
    if (!GModule.Handle) {
        // Beside the program first, so an application can ship its own copy; then where the
        // framework was installed, so a program built against it needs no library path.
        std::string ModuleDir = Os::ModuleDir();
        std::vector<std::string> Installed;
        if (!ModuleDir.empty()) Installed.push_back(ModuleDir + "/" + InstalledLibraryFolder);
        GModule.Handle = Os::SafeLoadLibrary(LibraryName, Os::SEM_NOOPENFILEERRORBOX, Installed);
        if (!GModule.Handle.load()) {
            GModule.LoadError = GetLastError();
            return false;
        }
    }
    BindAll();
    return true;
}

void* GetWinHttpProc(const char* Name) {
    void* P = Os::GetProcAddress(GModule.Handle.load(), Name);
    if (!P)
        throw Runtime::EAssertionFailed(Runtime::Format(
            "winhttp.dll - Could not find method: %s (Nimbra.WinHttp.Api.cpp, line %d)", Name,
            __LINE__));
    return P;
}

void WinHttpCheck(bool Success, const std::string& Info) {
    if (Success) return;
    RaiseWinHttpError(GetLastError(), Info);  // the code first, before anything can change it
}

void RaiseWinHttpError(std::uint32_t Code, const std::string& Info,
                       std::uint32_t SecureFailureFlags) {
    std::string Message = StandardMessage(Code);
    if (!Info.empty()) Message += "\r\n" + Info;
    throw EWinHttpClientException(std::move(Message), Code, SecureFailureFlags);
}

std::string WinHttpErrorText(std::uint32_t Code) {
    switch (Code) {
        case ERROR_WINHTTP_TIMEOUT:
            return "The request has timed out";
        case ERROR_WINHTTP_INVALID_URL:
            return "The URL is not valid";
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            return "The URL does not use a recognized protocol";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "The server name cannot be resolved";
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return "Could not connect to server";
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return "The connection with the server has been reset or terminated, or an "
                   "incompatible SSL protocol was encountered";
        case ERROR_WINHTTP_HEADER_NOT_FOUND:
            return "The requested header cannot be located";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return "The server response cannot be parsed";
        case ERROR_WINHTTP_SECURE_FAILURE:
            return "Error in Server SSL Certificate";
        default:
            return {};
    }
}

}  // namespace Nimbra
