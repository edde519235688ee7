// The common ground of the exported functions (WinHttp.Api.h). The functions themselves live
// by concern: handles in WinHttp.Session.cpp, options in WinHttp.Options.cpp, headers in
// WinHttp.Headers.cpp, the transfer in WinHttp.Transfer.cpp, URLs in WinHttp.Url.cpp.

#include "WinHttp.Api.h"

#include <mutex>
#include <unordered_map>

#include "WinHttp.Text.h"

namespace WinHttpImpl {

namespace {

std::mutex GTableLock;
std::unordered_map<std::uintptr_t, std::shared_ptr<TObject>> GTable;
std::uintptr_t GNextHandle = 0x1000;
// Made after the table, so gone before it: when the library goes, the asynchronous sessions'
// threads end first, and none of them still uses the table, or anything else of the library.
struct TStopLoopsFirst {
    ~TStopLoopsFirst() { TAsyncLoop::StopAll(); }
} GStopLoopsFirst;

HINTERNET Register(const std::shared_ptr<TObject>& Obj) {
    std::lock_guard<std::mutex> G(GTableLock);
    GNextHandle += 4;
    auto H = reinterpret_cast<HINTERNET>(GNextHandle);
    Obj->Handle = H;
    GTable.emplace(GNextHandle, Obj);
    return H;
}

}  // namespace

std::shared_ptr<TObject> Lookup(HINTERNET H) {
    std::lock_guard<std::mutex> G(GTableLock);
    auto It = GTable.find(reinterpret_cast<std::uintptr_t>(H));
    return It == GTable.end() ? nullptr : It->second;
}

std::shared_ptr<TObject> Unregister(HINTERNET H) {
    std::lock_guard<std::mutex> G(GTableLock);
    auto It = GTable.find(reinterpret_cast<std::uintptr_t>(H));
    if (It == GTable.end()) return nullptr;
    auto Obj = std::move(It->second);
    GTable.erase(It);
    return Obj;
}

BOOL Fail(DWORD Code) {
    SetLastError(Code);
    return FALSE;
}

// A new handle for the object; the call that made it succeeded.
HINTERNET Opened(const std::shared_ptr<TObject>& Obj) {
    HINTERNET H = Register(Obj);
    SetLastError(ERROR_SUCCESS);
    return H;
}

BOOL Succeed() {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CopyText(const std::u16string& Text, LPVOID Buffer, LPDWORD Length) {
    DWORD Need = static_cast<DWORD>((Text.size() + 1) * sizeof(WCHAR));
    if (!Buffer || *Length < Need) {
        *Length = Need;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(Buffer, Text.data(), Text.size() * sizeof(WCHAR));
    static_cast<WCHAR*>(Buffer)[Text.size()] = 0;
    *Length = static_cast<DWORD>(Text.size() * sizeof(WCHAR));
    return Succeed();
}

bool ParseDword(std::string_view S, std::uint64_t Max, std::uint64_t& Out) {
    S = Trim(S);
    if (S.empty()) return false;
    Out = 0;
    for (char C : S) {
        if (C < '0' || C > '9') return false;
        Out = Out * 10 + static_cast<std::uint64_t>(C - '0');
        if (Out > Max) return false;
    }
    return true;
}

}  // namespace WinHttpImpl
