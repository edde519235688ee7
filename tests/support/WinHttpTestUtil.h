#pragma once
// Small helpers for tests that drive the WinHTTP API through the run-time binding.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Nimbra.WinHttp.Api.h"

namespace TestSupport {

/// ASCII/UTF-8 text as UTF-16 (enough for test literals).
inline std::u16string U(std::string_view S) {
    std::u16string Out;
    for (std::size_t I = 0; I < S.size(); ++I) {
        unsigned char C = static_cast<unsigned char>(S[I]);
        if (C < 0x80) {
            Out += static_cast<char16_t>(C);
        } else if ((C & 0xE0) == 0xC0 && I + 1 < S.size()) {
            Out += static_cast<char16_t>(((C & 0x1F) << 6) | (S[I + 1] & 0x3F));
            ++I;
        } else if ((C & 0xF0) == 0xE0 && I + 2 < S.size()) {
            Out += static_cast<char16_t>(((C & 0x0F) << 12) | ((S[I + 1] & 0x3F) << 6) |
                                         (S[I + 2] & 0x3F));
            I += 2;
        }
    }
    return Out;
}

/// UTF-16 test text back to ASCII (other characters become "?").
inline std::string A(std::u16string_view S) {
    std::string Out;
    for (char16_t C : S) Out += C < 0x80 ? static_cast<char>(C) : '?';
    return Out;
}

/// Text for a query parameter: everything but letters and digits percent-escaped.
inline std::string QueryEscape(std::string_view S) {
    std::string Out;
    for (char C : S) {
        if ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9')) {
            Out += C;
        } else {
            char Hex[4];
            std::snprintf(Hex, sizeof Hex, "%%%02X", static_cast<unsigned char>(C));
            Out += Hex;
        }
    }
    return Out;
}

/// A status callback's notification by name ("SENDREQUEST_COMPLETE"); "0x..." for a value
/// WinHTTP does not define.
inline std::string StatusName(DWORD Status) {
    switch (Status) {
        case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME:
            return "RESOLVING_NAME";
        case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
            return "NAME_RESOLVED";
        case WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER:
            return "CONNECTING_TO_SERVER";
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
            return "CONNECTED_TO_SERVER";
        case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
            return "SENDING_REQUEST";
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
            return "REQUEST_SENT";
        case WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE:
            return "RECEIVING_RESPONSE";
        case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
            return "RESPONSE_RECEIVED";
        case WINHTTP_CALLBACK_STATUS_CLOSING_CONNECTION:
            return "CLOSING_CONNECTION";
        case WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED:
            return "CONNECTION_CLOSED";
        case WINHTTP_CALLBACK_STATUS_HANDLE_CREATED:
            return "HANDLE_CREATED";
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            return "HANDLE_CLOSING";
        case WINHTTP_CALLBACK_STATUS_REDIRECT:
            return "REDIRECT";
        case WINHTTP_CALLBACK_STATUS_INTERMEDIATE_RESPONSE:
            return "INTERMEDIATE_RESPONSE";
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            return "SECURE_FAILURE";
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            return "HEADERS_AVAILABLE";
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            return "DATA_AVAILABLE";
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            return "READ_COMPLETE";
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
            return "WRITE_COMPLETE";
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            return "REQUEST_ERROR";
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            return "SENDREQUEST_COMPLETE";
        default: {
            char Hex[16];
            std::snprintf(Hex, sizeof Hex, "0x%lx", static_cast<unsigned long>(Status));
            return Hex;
        }
    }
}

/// A WinHTTP handle closed when the holder goes.
class THandle {
  public:
    THandle() = default;
    explicit THandle(HINTERNET H) : FH(H) {}
    ~THandle() { Reset(); }
    THandle(THandle&& O) noexcept : FH(O.FH) { O.FH = nullptr; }
    THandle& operator=(THandle&& O) noexcept {
        if (this != &O) {
            Reset();
            FH = O.FH;
            O.FH = nullptr;
        }
        return *this;
    }
    HINTERNET Get() const { return FH; }
    HINTERNET Release() {
        HINTERNET H = FH;
        FH = nullptr;
        return H;
    }
    void Reset() {
        if (FH) Nimbra::WinHttpCloseHandle(FH);
        FH = nullptr;
    }
    explicit operator bool() const { return FH != nullptr; }

  private:
    HINTERNET FH = nullptr;
};

/// One text query; "" with the error in Err when it fails.
inline std::string QueryText(HINTERNET Req, DWORD Level, DWORD* Err = nullptr,
                             const char16_t* Name = nullptr) {
    DWORD Len = 0;
    if (Nimbra::WinHttpQueryHeaders(Req, Level, Name, nullptr, &Len, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        if (Err) *Err = GetLastError();
        return {};
    }
    std::u16string Buf(Len / 2, u'\0');
    if (!Nimbra::WinHttpQueryHeaders(Req, Level, Name, Buf.data(), &Len, nullptr)) {
        if (Err) *Err = GetLastError();
        return {};
    }
    if (Err) *Err = 0;
    Buf.resize(Len / 2);
    std::string Out;
    for (char16_t C : Buf) Out += static_cast<char>(C);  // test headers are ASCII or NULs
    return Out;
}

inline DWORD QueryStatus(HINTERNET Req) {
    DWORD Code = 0, Len = sizeof Code;
    if (!Nimbra::WinHttpQueryHeaders(Req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     nullptr, &Code, &Len, nullptr))
        return 0;
    return Code;
}

/// Reads the body to its end; false with Err set when a read fails.
inline bool ReadAll(HINTERNET Req, std::string& Body, DWORD& Err, DWORD Piece = 8192) {
    std::vector<char> Buf(Piece);
    for (;;) {
        DWORD Got = 12345;
        if (!Nimbra::WinHttpReadData(Req, Buf.data(), Piece, &Got)) {
            Err = GetLastError();
            return false;
        }
        if (Got == 0) {
            Err = 0;
            return true;
        }
        Body.append(Buf.data(), Got);
    }
}

/// The bytes the test server's pattern_bytes() produces.
inline std::string PatternBytes(std::size_t N, std::size_t Offset = 0) {
    std::string S(N, '\0');
    for (std::size_t I = 0; I < N; ++I) S[I] = static_cast<char>((I + Offset) % 251);
    return S;
}

}  // namespace TestSupport
