#include "Os.Library.h"

#include "Os.Error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <vector>

namespace Os {

namespace {

#ifdef _WIN32
// The system's file names are UTF-16; ours are UTF-8.
std::wstring Wide(std::string_view S) {
    if (S.empty()) return {};
    const int N = MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), nullptr, 0);
    std::wstring W(static_cast<std::size_t>(N > 0 ? N : 0), L'\0');
    if (N > 0) MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), W.data(), N);
    return W;
}

std::string Utf8(std::wstring_view W) {
    if (W.empty()) return {};
    const int N = WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string S(static_cast<std::size_t>(N > 0 ? N : 0), '\0');
    if (N > 0)
        WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), S.data(), N, nullptr,
                            nullptr);
    return S;
}

// The file name of a module (null: the program), UTF-8; "" if unknown.
std::string ModuleFileName(::HMODULE Module) {
    std::vector<wchar_t> Buf(32768);
    const DWORD N = GetModuleFileNameW(Module, Buf.data(), static_cast<DWORD>(Buf.size()));
    if (N == 0 || N >= Buf.size()) return {};
    return Utf8(std::wstring_view(Buf.data(), N));
}
#else
bool EndsWithDll(std::string_view Name) {
    if (Name.size() < 4) return false;
    std::string_view Tail = Name.substr(Name.size() - 4);
    static constexpr char Dll[] = ".dll";
    for (std::size_t I = 0; I < 4; ++I) {
        char C = Tail[I];
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
        if (C != Dll[I]) return false;
    }
    return true;
}
#endif

}  // namespace

std::string LibraryFileName(std::string_view Name) {
#ifdef _WIN32
    return std::string(Name);
#else
    std::size_t Slash = Name.rfind('/');
    std::string_view Dir =
        Slash == std::string_view::npos ? std::string_view() : Name.substr(0, Slash + 1);
    std::string_view File = Slash == std::string_view::npos ? Name : Name.substr(Slash + 1);
    if (!EndsWithDll(File)) return std::string(Name);
    // Windows names are case-insensitive; shared objects here are named in lower case.
    std::string Result(Dir);
    Result += "lib";
    for (char C : File.substr(0, File.size() - 4))
        Result += (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
    Result += ".so";
    return Result;
#endif
}

std::string ExecutableDir() {
#ifdef _WIN32
    const std::string Path = ModuleFileName(nullptr);
    std::size_t Sep = Path.find_last_of("\\/");
#else
    std::vector<char> Buf(4096);
    ssize_t N = readlink("/proc/self/exe", Buf.data(), Buf.size() - 1);
    if (N <= 0) return {};
    std::string Path(Buf.data(), static_cast<std::size_t>(N));
    std::size_t Sep = Path.rfind('/');
#endif
    return Sep == std::string::npos ? std::string() : Path.substr(0, Sep);
}

std::string ModuleDir() {
    // Any object of this library tells the loader which file it came from.
    static const char Anchor = 0;
#ifdef _WIN32
    ::HMODULE Self = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&Anchor), &Self))
        return {};
    const std::string Path = ModuleFileName(Self);
    std::size_t Sep = Path.find_last_of("\\/");
#else
    Dl_info Info{};
    if (dladdr(&Anchor, &Info) == 0 || !Info.dli_fname) return {};
    std::string Path = Info.dli_fname;
    std::size_t Sep = Path.rfind('/');
#endif
    return Sep == std::string::npos ? std::string() : Path.substr(0, Sep);
}

namespace {

#ifdef _WIN32
constexpr char PathSeparator = '\\';
bool HasFolder(std::string_view File) {
    return File.find_first_of("\\/") != File.npos;
}
bool FileExists(const std::string& Path) {
    return GetFileAttributesW(Wide(Path).c_str()) != INVALID_FILE_ATTRIBUTES;
}
// LoadLibraryW leaves its own reason in the last error.
HMODULE Open(const std::string& File) {
    return LoadLibraryW(Wide(File).c_str());
}
#else
constexpr char PathSeparator = '/';
bool HasFolder(std::string_view File) {
    return File.find('/') != File.npos;
}
bool FileExists(const std::string& Path) {
    return access(Path.c_str(), F_OK) == 0;
}
HMODULE Open(const std::string& File) {
    void* H = dlopen(File.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!H) SetLastError(ERROR_MOD_NOT_FOUND);
    return H;
}
#endif

HMODULE OpenFirstFound(const std::string& File, std::span<const std::string> SearchDirs) {
    if (!HasFolder(File)) {
        std::vector<std::string> Dirs{ExecutableDir()};
        Dirs.insert(Dirs.end(), SearchDirs.begin(), SearchDirs.end());
        for (const std::string& Dir : Dirs) {
            if (Dir.empty()) continue;
            std::string Path = Dir + PathSeparator + File;
            // A broken copy that is there is not silently replaced by another one.
            if (FileExists(Path)) return Open(Path);
        }
    }
    return Open(File);
}

}  // namespace

HMODULE SafeLoadLibrary(std::string_view Name, unsigned ErrorMode,
                        std::span<const std::string> SearchDirs) {
    std::string File = LibraryFileName(Name);
    if (File.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
#ifdef _WIN32
    UINT Old = SetErrorMode(ErrorMode);
    HMODULE H = OpenFirstFound(File, SearchDirs);
    SetErrorMode(Old);
    return H;
#else
    (void)ErrorMode;  // no dialogs to suppress here
    return OpenFirstFound(File, SearchDirs);
#endif
}

void* GetProcAddress(HMODULE Module, const char* Name) {
    if (!Module || !Name) {
        SetLastError(Module ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
#ifdef _WIN32
    void* P = reinterpret_cast<void*>(::GetProcAddress(static_cast<::HMODULE>(Module), Name));
#else
    void* P = dlsym(Module, Name);
#endif
    if (!P) SetLastError(ERROR_PROC_NOT_FOUND);
    return P;
}

bool FreeLibrary(HMODULE Module) {
    if (!Module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
#ifdef _WIN32
    return ::FreeLibrary(static_cast<::HMODULE>(Module)) != 0;
#else
    return dlclose(Module) == 0;
#endif
}

}  // namespace Os
