// TLS: what OpenSSL finds wrong with a server's certificate, as WinHTTP's secure-failure
// flags; the TLS versions a session allows; the certificate checks a caller chose to ignore
// (never by default); what a request can tell about its server's certificate.

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <vector>

#include "WinHttp.Api.h"
#include "WinHttp.Handles.h"
#include "WinHttp.Text.h"

namespace WinHttpImpl {

// Maps OpenSSL's verify result to WinHTTP's secure-failure flags.
DWORD VerifyResultFlags(long Result) {
    switch (Result) {
        case X509_V_OK:
        case X509_V_ERR_UNSPECIFIED:
            return 0;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
            return WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
        case X509_V_ERR_INVALID_PURPOSE:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;
        case X509_V_ERR_CERT_REVOKED:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
        default:
            return WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
    }
}

namespace {

constexpr DWORD AllTls = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;

// WINHTTP_FLAG_SECURE_PROTOCOL_* with curl's and OpenSSL's names for the same version.
struct TTlsVersion {
    DWORD Flag;
    long Curl, CurlMax;
    unsigned long NoOption;
};
const TTlsVersion TlsVersions[] = {
    {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1, CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0,
     SSL_OP_NO_TLSv1},
    {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1, CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1,
     SSL_OP_NO_TLSv1_1},
    {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2,
     SSL_OP_NO_TLSv1_2},
    {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3,
     SSL_OP_NO_TLSv1_3},
};

// The certificate problems each ignore flag covers (a wrong name is curl's own check).
bool Ignored(DWORD IgnoreFlags, int Error) {
    const DWORD Problem = VerifyResultFlags(Error);
    return ((IgnoreFlags & SECURITY_FLAG_IGNORE_UNKNOWN_CA) &&
            Problem == WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) ||
           ((IgnoreFlags & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID) &&
            Problem == WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) ||
           ((IgnoreFlags & SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE) &&
            Problem == WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE) ||
           ((IgnoreFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) &&
            Problem == WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID);
}

/// The certificate decoded, released with the holder.
struct TX509 {
    X509* X = nullptr;
    explicit TX509(const std::vector<unsigned char>& Der) {
        const unsigned char* P = Der.data();
        X = d2i_X509(nullptr, &P, static_cast<long>(Der.size()));
    }
    ~TX509() { X509_free(X); }
    TX509(const TX509&) = delete;
    TX509& operator=(const TX509&) = delete;
};

// A name as Windows shows it in WINHTTP_CERTIFICATE_INFO: the values of its parts in their
// order, one a line.
std::u16string NameText(const X509_NAME* Name) {
    std::string Out;
    for (int I = 0; I < X509_NAME_entry_count(Name); ++I) {
        const ASN1_STRING* V = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(Name, I));
        unsigned char* Utf8 = nullptr;
        const int N = ASN1_STRING_to_UTF8(&Utf8, V);
        if (N < 0) continue;
        if (!Out.empty()) Out += "\r\n";
        Out.append(reinterpret_cast<const char*>(Utf8), static_cast<std::size_t>(N));
        OPENSSL_free(Utf8);
    }
    return ToUtf16(Out);
}

FILETIME FileTime(const ASN1_TIME* T) {
    FILETIME F{};
    std::tm Tm{};
    if (!T || ASN1_TIME_to_tm(T, &Tm) != 1) return F;
    // 100-nanosecond intervals since 1601.
    const std::uint64_t Ticks =
        (static_cast<std::uint64_t>(timegm(&Tm)) + 11644473600ull) * 10000000ull;
    F.dwLowDateTime = static_cast<DWORD>(Ticks);
    F.dwHighDateTime = static_cast<DWORD>(Ticks >> 32);
    return F;
}

// A text the caller frees with LocalFree.
LPWSTR LocalText(const std::u16string& S) {
    auto* P = static_cast<LPWSTR>(std::malloc((S.size() + 1) * sizeof(WCHAR)));
    if (!P) throw std::bad_alloc();
    std::memcpy(P, S.c_str(), (S.size() + 1) * sizeof(WCHAR));
    return P;
}

}  // namespace

void TRequest::ApplyTls() {
    {
        TSession& S = Session();
        std::lock_guard<std::recursive_mutex> G(S.Lock);  // another thread may set it
        TlsProtocols = S.SecureProtocols;
    }
    // The allowed versions as curl's range, which also keeps connections made under other
    // rules apart. OpenSSL takes only a range without gaps: where the allowed versions have
    // one, the newest run of them is used (TLS 1.0 and 1.3 allowed: 1.3 only). With none
    // allowed, OnSslContext refuses every version.
    long Min = CURL_SSLVERSION_DEFAULT, Max = CURL_SSLVERSION_MAX_DEFAULT;
    if (TlsProtocols != 0) {
        Min = CURL_SSLVERSION_TLSv1_0;
        Max = CURL_SSLVERSION_MAX_TLSv1_0;
        for (int I = static_cast<int>(std::size(TlsVersions)) - 1; I >= 0; --I) {
            if (!(TlsProtocols & TlsVersions[I].Flag)) continue;
            Max = TlsVersions[I].CurlMax;
            Min = TlsVersions[I].Curl;
            while (I > 0 && (TlsProtocols & TlsVersions[I - 1].Flag)) Min = TlsVersions[--I].Curl;
            break;
        }
    }
    TSlot::TApplied& Ap = FSlot->Applied;
    FSlot->SetLong(CURLOPT_SSLVERSION, Ap.SslVersion, Min | Max);
    // Checks the caller turned off: the name is curl's own check; the others are decided in
    // OnVerify. A connection made so is never kept, and no TLS session of it is stored or
    // resumed, so that no later request can use what was not checked for it.
    const bool Lenient = IgnoredCertErrors != 0;
    FSlot->SetLong(CURLOPT_SSL_VERIFYHOST, Ap.VerifyHost,
                   (IgnoredCertErrors & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
    FSlot->SetLong(CURLOPT_SSL_SESSIONID_CACHE, Ap.SessionCache, Lenient ? 0L : 1L);
    FSlot->SetLong(CURLOPT_SSL_VERIFYSTATUS, Ap.VerifyStatus, CheckRevocation ? 1L : 0L);
}

// Called for each new connection as its handshake begins, with the context (one per
// connection) that the verification below finds its request by: in a hub the thread that
// runs curl need not be the request's own.
CURLcode TRequest::OnSslContext(CURL* Curl, void* SslCtx, void*) {
    auto* Ctx = static_cast<SSL_CTX*>(SslCtx);
    char* Owner = nullptr;
    curl_easy_getinfo(Curl, CURLINFO_PRIVATE, &Owner);
    SSL_CTX_set_app_data(Ctx, Owner);
    if (auto* R = reinterpret_cast<TRequest*>(Owner)) {
        R->FMoments.TlsStart = Tick();
        if (R->TlsProtocols != 0 && (R->TlsProtocols & AllTls) == 0) {
            // Only SSL allowed, which is never used: no version is left.
            unsigned long Off = 0;
            for (const auto& V : TlsVersions) Off |= V.NoOption;
            SSL_CTX_set_options(Ctx, Off);
        }
    }
    SSL_CTX_set_verify(Ctx, SSL_CTX_get_verify_mode(Ctx), &TRequest::OnVerify);
    return CURLE_OK;
}

// Sees every problem OpenSSL finds with the chain; passes over only those the caller chose to
// ignore.
int TRequest::OnVerify(int Ok, X509_STORE_CTX* StoreCtx) {
    auto* Ssl = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(StoreCtx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* R = Ssl ? static_cast<TRequest*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(Ssl))) : nullptr;
    if (!R) return Ok;
    if (X509_STORE_CTX_get_error_depth(StoreCtx) == 0 && R->ServerCertificate.empty()) {
        // The server's own certificate, kept even when it is refused.
        if (X509* Cert = X509_STORE_CTX_get_current_cert(StoreCtx)) {
            const int N = i2d_X509(Cert, nullptr);
            if (N > 0) {
                R->ServerCertificate.resize(static_cast<std::size_t>(N));
                unsigned char* P = R->ServerCertificate.data();
                i2d_X509(Cert, &P);
            }
        }
    }
    if (Ok) return Ok;
    const int Error = X509_STORE_CTX_get_error(StoreCtx);
    if (Ignored(R->IgnoredCertErrors, Error)) {
        X509_STORE_CTX_set_error(StoreCtx, X509_V_OK);
        return 1;
    }
    R->FVerifyFlags |= VerifyResultFlags(Error);
    return Ok;
}

void TRequest::NoteTls() {
    if (!FSecureNow) return;
    curl_tlssessioninfo* Info = nullptr;
    if (curl_easy_getinfo(FSlot->Easy, CURLINFO_TLS_SSL_PTR, &Info) != CURLE_OK || !Info ||
        Info->backend != CURLSSLBACKEND_OPENSSL || !Info->internals)
        return;
    auto* Ssl = static_cast<SSL*>(Info->internals);
    CipherBits = SSL_get_cipher_bits(Ssl, nullptr);
    if (X509* Cert = SSL_get0_peer_certificate(Ssl)) {
        TSlot& Noted = *FSlot;
        if (Cert != Noted.NotedCertificate) {
            const int N = i2d_X509(Cert, nullptr);
            if (N <= 0) return;
            std::vector<unsigned char> Encoded(static_cast<std::size_t>(N));
            unsigned char* P = Encoded.data();
            i2d_X509(Cert, &P);
            X509_up_ref(Cert);
            if (Noted.NotedCertificate) X509_free(Noted.NotedCertificate);
            Noted.NotedCertificate = Cert;
            Noted.NotedEncoding = std::move(Encoded);
        }
        ServerCertificate = Noted.NotedEncoding;
    }
}

bool TRequest::NegotiatedHttp2() {
    if (!FSecureNow) return false;
    curl_tlssessioninfo* Info = nullptr;
    if (curl_easy_getinfo(FSlot->Easy, CURLINFO_TLS_SSL_PTR, &Info) != CURLE_OK || !Info ||
        Info->backend != CURLSSLBACKEND_OPENSSL || !Info->internals)
        return false;
    const unsigned char* Alpn = nullptr;
    unsigned int Length = 0;
    SSL_get0_alpn_selected(static_cast<SSL*>(Info->internals), &Alpn, &Length);
    return Length == 2 && Alpn[0] == 'h' && Alpn[1] == '2';
}

DWORD SecurityStrengthFlags(const TRequest& R) {
    if (R.CipherBits <= 0) return 0;
    return SECURITY_FLAG_SECURE | (R.CipherBits >= 128  ? SECURITY_FLAG_STRENGTH_STRONG
                                   : R.CipherBits >= 56 ? SECURITY_FLAG_STRENGTH_MEDIUM
                                                        : SECURITY_FLAG_STRENGTH_WEAK);
}

BOOL QueryCertificateInfo(const TRequest& R, LPVOID Buffer, LPDWORD Length) {
    if (R.ServerCertificate.empty()) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!Buffer || *Length < sizeof(WINHTTP_CERTIFICATE_INFO)) {
        *Length = sizeof(WINHTTP_CERTIFICATE_INFO);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    TX509 Cert(R.ServerCertificate);
    if (!Cert.X) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    WINHTTP_CERTIFICATE_INFO Info{};
    Info.ftExpiry = FileTime(X509_get0_notAfter(Cert.X));
    Info.ftStart = FileTime(X509_get0_notBefore(Cert.X));
    Info.dwKeySize = static_cast<DWORD>(R.CipherBits);
    Info.lpszSubjectInfo = LocalText(NameText(X509_get_subject_name(Cert.X)));
    try {
        Info.lpszIssuerInfo = LocalText(NameText(X509_get_issuer_name(Cert.X)));
    } catch (...) {
        std::free(Info.lpszSubjectInfo);
        throw;
    }
    std::memcpy(Buffer, &Info, sizeof Info);
    *Length = sizeof Info;
    return Succeed();
}

BOOL QueryCertificateContext(const TRequest& R, LPVOID Buffer, LPDWORD Length) {
    if (R.ServerCertificate.empty()) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!Buffer || *Length < sizeof(PCCERT_CONTEXT)) {
        *Length = sizeof(PCCERT_CONTEXT);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    // One block: the context, then the bytes it points to; CertFreeCertificateContext frees it.
    const std::size_t N = R.ServerCertificate.size();
    auto* Block = static_cast<unsigned char*>(std::malloc(sizeof(CERT_CONTEXT) + N));
    if (!Block) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    auto* Ctx = reinterpret_cast<CERT_CONTEXT*>(Block);
    *Ctx = CERT_CONTEXT{};
    Ctx->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    Ctx->pbCertEncoded = Block + sizeof(CERT_CONTEXT);
    Ctx->cbCertEncoded = static_cast<DWORD>(N);
    std::memcpy(Ctx->pbCertEncoded, R.ServerCertificate.data(), N);
    PCCERT_CONTEXT Out = Ctx;
    std::memcpy(Buffer, &Out, sizeof Out);
    *Length = sizeof Out;
    return Succeed();
}

}  // namespace WinHttpImpl

extern "C" {

WINHTTPAPI BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    std::free(const_cast<CERT_CONTEXT*>(pCertContext));
    return TRUE;
}

WINHTTPAPI HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

}  // extern "C"
