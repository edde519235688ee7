// TLS: what OpenSSL finds wrong with a server's certificate, as WinHTTP's secure-failure
// flags. Verification itself is always on and never changed here.

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "WinHttp.Handles.h"

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

// Watches OpenSSL's certificate checks without changing their outcome.
CURLcode TRequest::OnSslContext(CURL*, void* SslCtx, void*) {
    // Called for each new connection as its handshake begins.
    if (tDriving) tDriving->FMoments.TlsStart = Tick();
    auto* Ctx = static_cast<SSL_CTX*>(SslCtx);
    SSL_CTX_set_verify(Ctx, SSL_CTX_get_verify_mode(Ctx), &TRequest::OnVerify);
    return CURLE_OK;
}

int TRequest::OnVerify(int Ok, X509_STORE_CTX* StoreCtx) {
    if (!Ok && tDriving)
        tDriving->FVerifyFlags |= VerifyResultFlags(X509_STORE_CTX_get_error(StoreCtx));
    return Ok;
}

}  // namespace WinHttpImpl
