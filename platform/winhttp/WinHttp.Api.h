#pragma once
// What every exported function stands on: the handle table, the last error, exceptions kept
// inside the C API, and copying results out to the caller's buffers.

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "WinHttp.Handles.h"

namespace WinHttpImpl {

// Handles are numbers, never pointers, so a stale or forged handle is an error (6)
// and not a use after free.
std::shared_ptr<TObject> Lookup(HINTERNET H);
std::shared_ptr<TObject> Unregister(HINTERNET H);
// A new handle for the object; the call that made it succeeded.
HINTERNET Opened(const std::shared_ptr<TObject>& Obj);

BOOL Fail(DWORD Code);
BOOL Succeed();

template <typename T>
std::shared_ptr<T> LookupAs(HINTERNET H, DWORD Kind, DWORD& Err) {
    auto Obj = Lookup(H);
    if (!Obj) {
        Err = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (Obj->Kind != Kind) {
        Err = ERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
        return nullptr;
    }
    return std::static_pointer_cast<T>(Obj);
}

// The object as its own class when it is of that kind of handle, else null.
template <typename T>
T* KindOf(TObject& Obj, DWORD Kind) {
    return Obj.Kind == Kind ? static_cast<T*>(&Obj) : nullptr;
}

// Runs an API body, turning exceptions into the last error: the C API never throws.
template <typename F>
auto Guard(F Body, decltype(Body()) OnError) noexcept -> decltype(Body()) {
    try {
        return Body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_WINHTTP_INTERNAL_ERROR);
    }
    return OnError;
}

// Copies a UTF-16 text into a caller buffer with WinHTTP's size protocol: the probe and a
// short buffer fail with 122 and the byte size including the NUL; success gives the byte
// length without it.
BOOL CopyText(const std::u16string& Text, LPVOID Buffer, LPDWORD Length);

template <typename T>
BOOL CopyValue(const T& Value, LPVOID Buffer, LPDWORD Length) {
    if (!Buffer || *Length < sizeof(T)) {
        *Length = sizeof(T);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(Buffer, &Value, sizeof(T));
    *Length = sizeof(T);
    return Succeed();
}

/// Starts an operation of an asynchronous request (WinHttp.Async.cpp): Begin runs under the
/// hub's lock and returns 0 when the operation started, else the code the call fails with.
/// A completion already there is delivered inside this call when it is made from a callback
/// of the session's thread (up to a depth), else by that thread.
BOOL StartAsync(const std::shared_ptr<TRequest>& R, TAsyncBegin Begin);

/// A decimal number up to Max, blanks around it allowed.
bool ParseDword(std::string_view S, std::uint64_t Max, std::uint64_t& Out);

}  // namespace WinHttpImpl
