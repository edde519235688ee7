#pragma once
/* The WinHTTP C API subset this platform provides, with Windows'
   type names, constant names and values. On Linux the library is libwinhttp.so, written on
   libcurl; on Windows the same declarations describe the system's winhttp.dll. WCHAR is
   char16_t, DWORD 32 bits, as on Windows.

   The asynchronous mode (WinHttpOpen with WINHTTP_FLAG_ASYNC): WinHttpSendRequest,
   WinHttpWriteData, WinHttpReceiveResponse, WinHttpQueryDataAvailable and WinHttpReadData
   return TRUE when the operation started and complete through the status callback
   (SENDREQUEST_COMPLETE, WRITE_COMPLETE, HEADERS_AVAILABLE, DATA_AVAILABLE, READ_COMPLETE, or
   REQUEST_ERROR with a WINHTTP_ASYNC_RESULT); FALSE means it failed at once and nothing
   follows. Each asynchronous session runs its requests on one thread of its own, which also
   delivers their callbacks (WINHTTP_OPTION_WORKER_THREAD_COUNT is kept and read back); a callback may start the next operation, which may then
   complete inside that call. Closing a request handle ends its pending operation with
   REQUEST_ERROR 12017; HANDLE_CLOSING is the last callback of every handle.

   What libwinhttp does not offer:
   - WebSocket: the WinHttpWebSocket* functions are not declared and not exported;
   - automatic proxy discovery: WinHttpGetProxyForUrl, WinHttpDetectAutoProxyConfigUrl,
     WinHttpGetIEProxyConfigForCurrentUser and the default-proxy configuration functions fail
     with 120. The access types WINHTTP_ACCESS_TYPE_DEFAULT_PROXY and _AUTOMATIC_PROXY take
     the proxy from the environment as libcurl does (http_proxy, https_proxy, no_proxy);
     WINHTTP_ACCESS_TYPE_NAMED_PROXY uses the list and bypass list given to WinHttpOpen.

   File descriptors: a request handle holds none until it is first sent. From then until it
   is closed it holds a transfer slot: two descriptors (libcurl's wake-up pair) and its
   connection's socket; in an asynchronous session only the socket (its session's one
   thread waits for all of them), and such a session keeps up to 1,024 idle slots (memory
   only, no descriptors). A session keeps up to 16 idle slots for later requests. So with the
   usual limit of 1024 descriptors, about 300 sent request handles can be open at once;
   close each when its answer has been read. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef WINAPI
#define WINAPI
#endif
#if defined(__GNUC__)
#define WINHTTPAPI __attribute__((visibility("default")))
#else
#define WINHTTPAPI
#endif

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint16_t INTERNET_PORT;
typedef uintptr_t DWORD_PTR;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HINTERNET;
typedef HINTERNET* LPHINTERNET;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;
typedef const SYSTEMTIME* LPCSYSTEMTIME;

typedef int INTERNET_SCHEME;
#define INTERNET_SCHEME_HTTP 1
#define INTERNET_SCHEME_HTTPS 2
#define INTERNET_SCHEME_FTP 3
#define INTERNET_SCHEME_SOCKS 4

// WinHttpCrackUrl and WinHttpCreateUrl flags.
#define ICU_ESCAPE 0x80000000
#define ICU_DECODE 0x10000000
#define ICU_REJECT_USERPWD 0x00004000

typedef struct _URL_COMPONENTS {
    DWORD dwStructSize;
    LPWSTR lpszScheme;
    DWORD dwSchemeLength;
    INTERNET_SCHEME nScheme;
    LPWSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPWSTR lpszUserName;
    DWORD dwUserNameLength;
    LPWSTR lpszPassword;
    DWORD dwPasswordLength;
    LPWSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPWSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
} URL_COMPONENTS, *LPURL_COMPONENTS;

typedef struct {
    DWORD dwAccessType;
    LPWSTR lpszProxy;
    LPWSTR lpszProxyBypass;
} WINHTTP_PROXY_INFO, *LPWINHTTP_PROXY_INFO;

typedef struct {
    BOOL fAutoDetect;
    LPWSTR lpszAutoConfigUrl;
    LPWSTR lpszProxy;
    LPWSTR lpszProxyBypass;
} WINHTTP_CURRENT_USER_IE_PROXY_CONFIG;

typedef struct {
    DWORD dwFlags;
    DWORD dwAutoDetectFlags;
    LPCWSTR lpszAutoConfigUrl;
    LPVOID lpvReserved;
    DWORD dwReserved;
    BOOL fAutoLogonIfChallenged;
} WINHTTP_AUTOPROXY_OPTIONS;

typedef void(WINAPI* WINHTTP_STATUS_CALLBACK)(HINTERNET hInternet, DWORD_PTR dwContext,
                                              DWORD dwInternetStatus, LPVOID lpvStatusInformation,
                                              DWORD dwStatusInformationLength);
#define WINHTTP_INVALID_STATUS_CALLBACK ((WINHTTP_STATUS_CALLBACK)(intptr_t)(-1))

/* Access types of WinHttpOpen. */
#define WINHTTP_ACCESS_TYPE_DEFAULT_PROXY 0
#define WINHTTP_ACCESS_TYPE_NO_PROXY 1
#define WINHTTP_ACCESS_TYPE_NAMED_PROXY 3
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#define WINHTTP_NO_PROXY_NAME ((LPCWSTR)0)
#define WINHTTP_NO_PROXY_BYPASS ((LPCWSTR)0)
#define WINHTTP_FLAG_ASYNC 0x10000000

#define INTERNET_DEFAULT_PORT 0
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_DEFAULT_HTTPS_PORT 443

/* WinHttpOpenRequest flags. */
#define WINHTTP_FLAG_SECURE 0x00800000
#define WINHTTP_FLAG_ESCAPE_PERCENT 0x00000004
#define WINHTTP_FLAG_NULL_CODEPAGE 0x00000008
#define WINHTTP_FLAG_BYPASS_PROXY_CACHE 0x00000100
#define WINHTTP_FLAG_REFRESH WINHTTP_FLAG_BYPASS_PROXY_CACHE
#define WINHTTP_FLAG_ESCAPE_DISABLE 0x00000040
#define WINHTTP_FLAG_ESCAPE_DISABLE_QUERY 0x00000080
#define WINHTTP_NO_REFERER ((LPCWSTR)0)
#define WINHTTP_DEFAULT_ACCEPT_TYPES ((LPCWSTR*)0)

#define WINHTTP_NO_ADDITIONAL_HEADERS ((LPCWSTR)0)
#define WINHTTP_NO_REQUEST_DATA ((LPVOID)0)
#define WINHTTP_IGNORE_REQUEST_TOTAL_LENGTH 0

/* WinHttpAddRequestHeaders modifiers. */
#define WINHTTP_ADDREQ_INDEX_MASK 0x0000FFFF
#define WINHTTP_ADDREQ_FLAGS_MASK 0xFFFF0000
#define WINHTTP_ADDREQ_FLAG_ADD_IF_NEW 0x10000000
#define WINHTTP_ADDREQ_FLAG_ADD 0x20000000
#define WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA 0x40000000
#define WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON 0x01000000
#define WINHTTP_ADDREQ_FLAG_COALESCE WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA
#define WINHTTP_ADDREQ_FLAG_REPLACE 0x80000000

/* Options (WinHttpSetOption / WinHttpQueryOption). */
#define WINHTTP_OPTION_RESOLVE_TIMEOUT 2
#define WINHTTP_OPTION_CONNECT_TIMEOUT 3
#define WINHTTP_OPTION_CONNECT_RETRIES 4
#define WINHTTP_OPTION_SEND_TIMEOUT 5
#define WINHTTP_OPTION_RECEIVE_TIMEOUT 6
#define WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT 7
#define WINHTTP_OPTION_HANDLE_TYPE 9
#define WINHTTP_OPTION_PARENT_HANDLE 21
#define WINHTTP_OPTION_URL 34
#define WINHTTP_OPTION_USER_AGENT 41
#define WINHTTP_OPTION_CONTEXT_VALUE 45
#define WINHTTP_OPTION_DISABLE_FEATURE 63
#define WINHTTP_OPTION_ENABLE_FEATURE 79
#define WINHTTP_OPTION_WORKER_THREAD_COUNT 80
#define WINHTTP_OPTION_CONNECTION_INFO 93
#define WINHTTP_OPTION_REDIRECT_POLICY 88
#define WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS 89
#define WINHTTP_OPTION_DECOMPRESSION 118
#define WINHTTP_OPTION_REQUEST_TIMES 142
#define WINHTTP_OPTION_SECURITY_FLAGS 31
#define WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT 32
#define WINHTTP_OPTION_SECURITY_KEY_BITNESS 36
#define WINHTTP_OPTION_SERVER_CERT_CONTEXT 78
#define WINHTTP_OPTION_SECURE_PROTOCOLS 84
#define WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL 133
#define WINHTTP_OPTION_HTTP_PROTOCOL_USED 134
#define WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED 145

/* HTTP/2. WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL (session or request handles, set only; a DWORD
   of the flags below, 0 by default): the protocols a request may use besides HTTP/1.1, which
   is always allowed. A request takes its session's value when it is opened; setting it on the
   request afterwards overrides that for the request's next send.
   - WINHTTP_PROTOCOL_FLAG_HTTP2: HTTP/2 is offered in the TLS handshake (ALPN) of https
     connections and used when the server takes it, HTTP/1.1 otherwise. Plain http always
     goes over HTTP/1.1, as on Windows (no HTTP/2 without TLS). A request opened with the
     version "HTTP/1.0" stays with HTTP/1.0.
   - WINHTTP_PROTOCOL_FLAG_HTTP3: accepted and never used, as by the Windows versions that
     have the option and no HTTP/3: it says the caller would take HTTP/3, not that it needs
     it, so a caller that sets it together with HTTP2 gets HTTP/2, and one that sets it alone
     gets HTTP/1.1. Refusing it would cost such callers HTTP/2 for a protocol that is only
     ever a preference.
   - Any other bit fails the call with ERROR_INVALID_PARAMETER (87) and keeps the value set
     before: an unknown flag cannot be honoured, and silently dropping it would hide a caller's
     mistake.
   Requests of one session to one origin over HTTP/2 share connections, each request a stream,
   whichever threads send them. A request sent on a reused connection the server was just
   closing (its GOAWAY crossed the request) goes once more on a new connection.

   WINHTTP_OPTION_HTTP_PROTOCOL_USED (request handles, query only, a DWORD): the flag of the
   protocol the last send used, WINHTTP_PROTOCOL_FLAG_HTTP2 or 0 for HTTP/1.x; known once the
   request has a connection (WinHttpSendRequest succeeded), 0 before that. After redirects it
   is the last hop's.

   WINHTTP_OPTION_HTTP_PROTOCOL_REQUIRED (session or request handles, set only, a BOOL as a
   DWORD, FALSE by default): a request may use only the protocols enabled above; with HTTP2
   enabled, a connection that did not negotiate HTTP/2 (the server declined it, plain http, or
   an HTTP/1.0 request) fails the send, or the redirect hop, with
   ERROR_WINHTTP_HTTP_PROTOCOL_MISMATCH (12190) before the request goes out on it.

   An HTTP/2 response reads as any other: WINHTTP_QUERY_VERSION is "HTTP/2", the raw headers
   begin with the status line "HTTP/2 200" (HTTP/2 has no reason phrase, so
   WINHTTP_QUERY_STATUS_TEXT is empty) and the header names are as the server sent them,
   which HTTP/2 makes lower case. Failures have the codes they have over HTTP/1.1: a stream the
   server resets is ERROR_WINHTTP_CONNECTION_ERROR, a body longer than its Content-Length
   ERROR_WINHTTP_INVALID_SERVER_RESPONSE, and a response head past 128 KiB (over HTTP/1.1:
   256 KiB) ERROR_WINHTTP_HEADER_SIZE_OVERFLOW. */
#define WINHTTP_PROTOCOL_FLAG_HTTP2 0x1
#define WINHTTP_PROTOCOL_FLAG_HTTP3 0x2

/* WINHTTP_OPTION_ENABLE_FEATURE (set only): revocation checks on a request, reverting
   impersonation on a session (which has no meaning here and is accepted). */
#define WINHTTP_ENABLE_SSL_REVOCATION 0x00000001
#define WINHTTP_ENABLE_SSL_REVERT_IMPERSONATION 0x00000002

/* WINHTTP_OPTION_SECURITY_FLAGS (request handles). The IGNORE flags are the caller's choice
   and off by default; SECURE and the strength are only read. */
#define SECURITY_FLAG_SECURE 0x00000001
#define SECURITY_FLAG_STRENGTH_WEAK 0x10000000
#define SECURITY_FLAG_STRENGTH_MEDIUM 0x40000000
#define SECURITY_FLAG_STRENGTH_STRONG 0x20000000
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#define SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE 0x00000200
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000
#define SECURITY_FLAG_IGNORE_ALL_CERT_ERRORS                                           \
    (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |         \
     SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID)

/* WINHTTP_OPTION_SECURE_PROTOCOLS (session handles, set only): the TLS versions allowed. SSL 2
   and 3 are accepted as values and never used. The TLS library takes a range without gaps:
   where the versions allowed have one, the newest run of them is used. */
#define WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 0x00000008
#define WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 0x00000020
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 0x00000080
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 0x00000200
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 0x00000800
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#define WINHTTP_FLAG_SECURE_PROTOCOL_ALL                                                \
    (WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 |            \
     WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2)

#ifndef _WIN32
/* The structures of the options above; on Windows the system's headers define them. */
#include <sys/socket.h>
typedef struct sockaddr_storage SOCKADDR_STORAGE;
typedef unsigned char BYTE;
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

/* WINHTTP_OPTION_CONNECTION_INFO (request handles, once the request is sent): the addresses
   as this system's sockaddr_in or sockaddr_in6 (so AF_INET6 has this system's value). */
typedef struct _WINHTTP_CONNECTION_INFO {
    DWORD cbSize;
    SOCKADDR_STORAGE LocalAddress;
    SOCKADDR_STORAGE RemoteAddress;
} WINHTTP_CONNECTION_INFO;

/* WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT: the server's certificate. The subject and
   issuer are the values of their names' parts, one a line ("\r\n" between); the caller frees
   both with LocalFree. The protocol and algorithm names are not given (NULL), as on Windows.
   dwKeySize is the cipher's strength, as WINHTTP_OPTION_SECURITY_KEY_BITNESS gives it. */
typedef struct _WINHTTP_CERTIFICATE_INFO {
    FILETIME ftExpiry;
    FILETIME ftStart;
    LPWSTR lpszSubjectInfo;
    LPWSTR lpszIssuerInfo;
    LPWSTR lpszProtocolName;
    LPWSTR lpszSignatureAlgName;
    LPWSTR lpszEncryptionAlgName;
    DWORD dwKeySize;
} WINHTTP_CERTIFICATE_INFO;

/* WINHTTP_OPTION_SERVER_CERT_CONTEXT: a pointer to a certificate context shaped as Windows'
   holding the server's certificate as DER (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING); there is
   no certificate store and no decoded CERT_INFO (both NULL). The caller frees it with
   CertFreeCertificateContext, which this library exports for that. */
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    void* pCertInfo;
    void* hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;
typedef void* HLOCAL;
WINHTTPAPI BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
WINHTTPAPI HLOCAL WINAPI LocalFree(HLOCAL hMem);
#endif

/* WINHTTP_OPTION_REQUEST_TIMES (request handles, query only): moments of the last transfer
   as performance-counter values (QueryPerformanceCounter), 0 for a moment that did not occur
   (a reused connection has no name resolution, plain HTTP no TLS handshake). The one
   delta entry counts ticks spent decompressing the body. */
typedef uint32_t ULONG;
typedef uint64_t ULONGLONG;
typedef enum _WINHTTP_REQUEST_TIME_ENTRY {
    WinHttpProxyDetectionStart = 0,
    WinHttpProxyDetectionEnd,
    WinHttpConnectionAcquireStart,
    WinHttpConnectionAcquireWaitEnd,
    WinHttpConnectionAcquireEnd,
    WinHttpNameResolutionStart,
    WinHttpNameResolutionEnd,
    WinHttpConnectionEstablishmentStart,
    WinHttpConnectionEstablishmentEnd,
    WinHttpTlsHandshakeClientLeg1Start,
    WinHttpTlsHandshakeClientLeg1End,
    WinHttpTlsHandshakeClientLeg2Start,
    WinHttpTlsHandshakeClientLeg2End,
    WinHttpTlsHandshakeClientLeg3Start,
    WinHttpTlsHandshakeClientLeg3End,
    WinHttpStreamWaitStart,
    WinHttpStreamWaitEnd,
    WinHttpSendRequestStart,
    WinHttpSendRequestHeadersCompressionStart,
    WinHttpSendRequestHeadersCompressionEnd,
    WinHttpSendRequestHeadersEnd,
    WinHttpSendRequestEnd,
    WinHttpReceiveResponseStart,
    WinHttpReceiveResponseHeadersDecompressionStart,
    WinHttpReceiveResponseHeadersDecompressionEnd,
    WinHttpReceiveResponseHeadersEnd,
    WinHttpReceiveResponseBodyDecompressionDelta,
    WinHttpReceiveResponseEnd,
    WinHttpProxyTunnelStart,
    WinHttpProxyTunnelEnd,
    WinHttpProxyTlsHandshakeClientLeg1Start,
    WinHttpProxyTlsHandshakeClientLeg1End,
    WinHttpProxyTlsHandshakeClientLeg2Start,
    WinHttpProxyTlsHandshakeClientLeg2End,
    WinHttpProxyTlsHandshakeClientLeg3Start,
    WinHttpProxyTlsHandshakeClientLeg3End,
    WinHttpRequestTimeLast,
    WinHttpRequestTimeMax = 64
} WINHTTP_REQUEST_TIME_ENTRY;

typedef struct _WINHTTP_REQUEST_TIMES {
    ULONG cTimes; /* entries filled: WinHttpRequestTimeLast */
    ULONGLONG rgullTimes[WinHttpRequestTimeMax];
} WINHTTP_REQUEST_TIMES, *PWINHTTP_REQUEST_TIMES;

#define WINHTTP_HANDLE_TYPE_SESSION 1
#define WINHTTP_HANDLE_TYPE_CONNECT 2
#define WINHTTP_HANDLE_TYPE_REQUEST 3

#define WINHTTP_DISABLE_COOKIES 0x00000001
#define WINHTTP_DISABLE_REDIRECTS 0x00000002
#define WINHTTP_DISABLE_AUTHENTICATION 0x00000004
#define WINHTTP_DISABLE_KEEP_ALIVE 0x00000008

#define WINHTTP_OPTION_REDIRECT_POLICY_NEVER 0
#define WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP 1
#define WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS 2

#define WINHTTP_DECOMPRESSION_FLAG_GZIP 0x00000001
#define WINHTTP_DECOMPRESSION_FLAG_DEFLATE 0x00000002
#define WINHTTP_DECOMPRESSION_FLAG_ALL \
    (WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE)

/* Authentication: WinHttpQueryAuthSchemes, WinHttpSetCredentials and the credential options
   (request handles; their texts are counted in characters). */
#define WINHTTP_AUTH_SCHEME_BASIC 0x00000001
#define WINHTTP_AUTH_SCHEME_NTLM 0x00000002
#define WINHTTP_AUTH_SCHEME_PASSPORT 0x00000004
#define WINHTTP_AUTH_SCHEME_DIGEST 0x00000008
#define WINHTTP_AUTH_SCHEME_NEGOTIATE 0x00000010
#define WINHTTP_AUTH_TARGET_SERVER 0x00000000
#define WINHTTP_AUTH_TARGET_PROXY 0x00000001
#define WINHTTP_OPTION_USERNAME 0x1000
#define WINHTTP_OPTION_PASSWORD 0x1001
#define WINHTTP_OPTION_PROXY_USERNAME 0x1002
#define WINHTTP_OPTION_PROXY_PASSWORD 0x1003

/* Query levels (WinHttpQueryHeaders). */
#define WINHTTP_QUERY_MIME_VERSION 0
#define WINHTTP_QUERY_CONTENT_TYPE 1
#define WINHTTP_QUERY_CONTENT_TRANSFER_ENCODING 2
#define WINHTTP_QUERY_CONTENT_ID 3
#define WINHTTP_QUERY_CONTENT_DESCRIPTION 4
#define WINHTTP_QUERY_CONTENT_LENGTH 5
#define WINHTTP_QUERY_CONTENT_LANGUAGE 6
#define WINHTTP_QUERY_ALLOW 7
#define WINHTTP_QUERY_PUBLIC 8
#define WINHTTP_QUERY_DATE 9
#define WINHTTP_QUERY_EXPIRES 10
#define WINHTTP_QUERY_LAST_MODIFIED 11
#define WINHTTP_QUERY_MESSAGE_ID 12
#define WINHTTP_QUERY_URI 13
#define WINHTTP_QUERY_DERIVED_FROM 14
#define WINHTTP_QUERY_COST 15
#define WINHTTP_QUERY_LINK 16
#define WINHTTP_QUERY_PRAGMA 17
#define WINHTTP_QUERY_VERSION 18
#define WINHTTP_QUERY_STATUS_CODE 19
#define WINHTTP_QUERY_STATUS_TEXT 20
#define WINHTTP_QUERY_RAW_HEADERS 21
#define WINHTTP_QUERY_RAW_HEADERS_CRLF 22
#define WINHTTP_QUERY_CONNECTION 23
#define WINHTTP_QUERY_ACCEPT 24
#define WINHTTP_QUERY_ACCEPT_CHARSET 25
#define WINHTTP_QUERY_ACCEPT_ENCODING 26
#define WINHTTP_QUERY_ACCEPT_LANGUAGE 27
#define WINHTTP_QUERY_AUTHORIZATION 28
#define WINHTTP_QUERY_CONTENT_ENCODING 29
#define WINHTTP_QUERY_FORWARDED 30
#define WINHTTP_QUERY_FROM 31
#define WINHTTP_QUERY_IF_MODIFIED_SINCE 32
#define WINHTTP_QUERY_LOCATION 33
#define WINHTTP_QUERY_ORIG_URI 34
#define WINHTTP_QUERY_REFERER 35
#define WINHTTP_QUERY_RETRY_AFTER 36
#define WINHTTP_QUERY_SERVER 37
#define WINHTTP_QUERY_TITLE 38
#define WINHTTP_QUERY_USER_AGENT 39
#define WINHTTP_QUERY_WWW_AUTHENTICATE 40
#define WINHTTP_QUERY_PROXY_AUTHENTICATE 41
#define WINHTTP_QUERY_ACCEPT_RANGES 42
#define WINHTTP_QUERY_SET_COOKIE 43
#define WINHTTP_QUERY_COOKIE 44
#define WINHTTP_QUERY_REQUEST_METHOD 45
#define WINHTTP_QUERY_REFRESH 46
#define WINHTTP_QUERY_CONTENT_DISPOSITION 47
#define WINHTTP_QUERY_AGE 48
#define WINHTTP_QUERY_CACHE_CONTROL 49
#define WINHTTP_QUERY_CONTENT_BASE 50
#define WINHTTP_QUERY_CONTENT_LOCATION 51
#define WINHTTP_QUERY_CONTENT_MD5 52
#define WINHTTP_QUERY_CONTENT_RANGE 53
#define WINHTTP_QUERY_ETAG 54
#define WINHTTP_QUERY_HOST 55
#define WINHTTP_QUERY_IF_MATCH 56
#define WINHTTP_QUERY_IF_NONE_MATCH 57
#define WINHTTP_QUERY_IF_RANGE 58
#define WINHTTP_QUERY_IF_UNMODIFIED_SINCE 59
#define WINHTTP_QUERY_MAX_FORWARDS 60
#define WINHTTP_QUERY_PROXY_AUTHORIZATION 61
#define WINHTTP_QUERY_RANGE 62
#define WINHTTP_QUERY_TRANSFER_ENCODING 63
#define WINHTTP_QUERY_UPGRADE 64
#define WINHTTP_QUERY_VARY 65
#define WINHTTP_QUERY_VIA 66
#define WINHTTP_QUERY_WARNING 67
#define WINHTTP_QUERY_EXPECT 68
#define WINHTTP_QUERY_PROXY_CONNECTION 69
#define WINHTTP_QUERY_UNLESS_MODIFIED_SINCE 70
#define WINHTTP_QUERY_PROXY_SUPPORT 75
#define WINHTTP_QUERY_AUTHENTICATION_INFO 76
#define WINHTTP_QUERY_PASSPORT_URLS 77
#define WINHTTP_QUERY_PASSPORT_CONFIG 78
#define WINHTTP_QUERY_MAX 78
#define WINHTTP_QUERY_CUSTOM 65535
#define WINHTTP_QUERY_FLAG_REQUEST_HEADERS 0x80000000
#define WINHTTP_QUERY_FLAG_SYSTEMTIME 0x40000000
#define WINHTTP_QUERY_FLAG_NUMBER 0x20000000
#define WINHTTP_QUERY_FLAG_NUMBER64 0x08000000
#define WINHTTP_HEADER_NAME_BY_INDEX ((LPCWSTR)0)
#define WINHTTP_NO_OUTPUT_BUFFER ((LPVOID)0)
#define WINHTTP_NO_HEADER_INDEX ((LPDWORD)0)

#define WINHTTP_TIME_FORMAT_BUFSIZE 62

/* Status callback: notifications and flags. Those of the synchronous mode are delivered on
   the thread of the call that caused them, in Windows' order: HANDLE_CREATED from
   WinHttpConnect and WinHttpOpenRequest; RESOLVING_NAME, NAME_RESOLVED, CONNECTING_TO_SERVER
   and CONNECTED_TO_SERVER for a new connection (the name and addresses as text, the length in
   characters with the NUL), SENDING_REQUEST and REQUEST_SENT (a DWORD of bytes) from
   WinHttpSendRequest; RECEIVING_RESPONSE, RESPONSE_RECEIVED (a DWORD of bytes),
   INTERMEDIATE_RESPONSE (a DWORD status) and REDIRECT (the new URL) from
   WinHttpReceiveResponse; CLOSING_CONNECTION and CONNECTION_CLOSED when a connection ends
   during a call (not for a connection that requests share over HTTP/2, which belongs to no
   one request); HANDLE_CLOSING (the handle) from WinHttpCloseHandle; SECURE_FAILURE from
   WinHttpSendRequest. A callback may call the API, close the handle included. */
#define WINHTTP_CALLBACK_STATUS_RESOLVING_NAME 0x00000001
#define WINHTTP_CALLBACK_STATUS_NAME_RESOLVED 0x00000002
#define WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER 0x00000004
#define WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER 0x00000008
#define WINHTTP_CALLBACK_STATUS_SENDING_REQUEST 0x00000010
#define WINHTTP_CALLBACK_STATUS_REQUEST_SENT 0x00000020
#define WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE 0x00000040
#define WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED 0x00000080
#define WINHTTP_CALLBACK_STATUS_CLOSING_CONNECTION 0x00000100
#define WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED 0x00000200
#define WINHTTP_CALLBACK_STATUS_HANDLE_CREATED 0x00000400
#define WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING 0x00000800
#define WINHTTP_CALLBACK_STATUS_DETECTING_PROXY 0x00001000
#define WINHTTP_CALLBACK_STATUS_REDIRECT 0x00004000
#define WINHTTP_CALLBACK_STATUS_INTERMEDIATE_RESPONSE 0x00008000
#define WINHTTP_CALLBACK_STATUS_SECURE_FAILURE 0x00010000
#define WINHTTP_CALLBACK_FLAG_RESOLVE_NAME \
    (WINHTTP_CALLBACK_STATUS_RESOLVING_NAME | WINHTTP_CALLBACK_STATUS_NAME_RESOLVED)
#define WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER \
    (WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER | WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER)
#define WINHTTP_CALLBACK_FLAG_SEND_REQUEST \
    (WINHTTP_CALLBACK_STATUS_SENDING_REQUEST | WINHTTP_CALLBACK_STATUS_REQUEST_SENT)
#define WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE \
    (WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE | WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED)
#define WINHTTP_CALLBACK_FLAG_CLOSE_CONNECTION \
    (WINHTTP_CALLBACK_STATUS_CLOSING_CONNECTION | WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED)
#define WINHTTP_CALLBACK_FLAG_HANDLES \
    (WINHTTP_CALLBACK_STATUS_HANDLE_CREATED | WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING)
#define WINHTTP_CALLBACK_FLAG_DETECTING_PROXY WINHTTP_CALLBACK_STATUS_DETECTING_PROXY
#define WINHTTP_CALLBACK_FLAG_REDIRECT WINHTTP_CALLBACK_STATUS_REDIRECT
#define WINHTTP_CALLBACK_FLAG_INTERMEDIATE_RESPONSE WINHTTP_CALLBACK_STATUS_INTERMEDIATE_RESPONSE
#define WINHTTP_CALLBACK_FLAG_SECURE_FAILURE WINHTTP_CALLBACK_STATUS_SECURE_FAILURE
#define WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE 0x00020000
#define WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE 0x00040000
#define WINHTTP_CALLBACK_STATUS_READ_COMPLETE 0x00080000
#define WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE 0x00100000
#define WINHTTP_CALLBACK_STATUS_REQUEST_ERROR 0x00200000
#define WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE 0x00400000
#define WINHTTP_CALLBACK_FLAG_HEADERS_AVAILABLE WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE
#define WINHTTP_CALLBACK_FLAG_DATA_AVAILABLE WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE
#define WINHTTP_CALLBACK_FLAG_READ_COMPLETE WINHTTP_CALLBACK_STATUS_READ_COMPLETE
#define WINHTTP_CALLBACK_FLAG_WRITE_COMPLETE WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE
#define WINHTTP_CALLBACK_FLAG_REQUEST_ERROR WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
#define WINHTTP_CALLBACK_FLAG_SENDREQUEST_COMPLETE WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE
#define WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS                                          \
    (WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE | WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE | \
     WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE | WINHTTP_CALLBACK_STATUS_READ_COMPLETE |           \
     WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE | WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
#define WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS 0xFFFFFFFF

/* What REQUEST_ERROR carries: the operation that failed (API_*) and its error code. */
typedef struct _WINHTTP_ASYNC_RESULT {
    DWORD_PTR dwResult;
    DWORD dwError;
} WINHTTP_ASYNC_RESULT, *LPWINHTTP_ASYNC_RESULT;
#define API_RECEIVE_RESPONSE 1
#define API_QUERY_DATA_AVAILABLE 2
#define API_READ_DATA 3
#define API_WRITE_DATA 4
#define API_SEND_REQUEST 5

#define WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED 0x00000001
#define WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT 0x00000002
#define WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED 0x00000004
#define WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA 0x00000008
#define WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID 0x00000010
#define WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID 0x00000020
#define WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE 0x00000040
#define WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR 0x80000000

/* Error codes. */
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87
#endif
#ifndef ERROR_CALL_NOT_IMPLEMENTED
#define ERROR_CALL_NOT_IMPLEMENTED 120
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122
#endif
#ifndef ERROR_INVALID_OPERATION
#define ERROR_INVALID_OPERATION 4317
#endif
#define WINHTTP_ERROR_BASE 12000
#define ERROR_WINHTTP_OUT_OF_HANDLES 12001
#define ERROR_WINHTTP_TIMEOUT 12002
#define ERROR_WINHTTP_INTERNAL_ERROR 12004
#define ERROR_WINHTTP_INVALID_URL 12005
#define ERROR_WINHTTP_UNRECOGNIZED_SCHEME 12006
#define ERROR_WINHTTP_NAME_NOT_RESOLVED 12007
#define ERROR_WINHTTP_INVALID_OPTION 12009
#define ERROR_WINHTTP_OPTION_NOT_SETTABLE 12011
#define ERROR_WINHTTP_SHUTDOWN 12012
#define ERROR_WINHTTP_OPERATION_CANCELLED 12017
#define ERROR_WINHTTP_INCORRECT_HANDLE_TYPE 12018
#define ERROR_WINHTTP_INCORRECT_HANDLE_STATE 12019
#define ERROR_WINHTTP_CANNOT_CONNECT 12029
#define ERROR_WINHTTP_CONNECTION_ERROR 12030
#define ERROR_WINHTTP_RESEND_REQUEST 12032
#define ERROR_WINHTTP_HEADER_NOT_FOUND 12150
#define ERROR_WINHTTP_INVALID_SERVER_RESPONSE 12152
#define ERROR_WINHTTP_INVALID_HEADER 12153
#define ERROR_WINHTTP_INVALID_QUERY_REQUEST 12154
#define ERROR_WINHTTP_HEADER_ALREADY_EXISTS 12155
#define ERROR_WINHTTP_REDIRECT_FAILED 12156
#define ERROR_WINHTTP_SECURE_FAILURE 12175
#define ERROR_WINHTTP_HEADER_SIZE_OVERFLOW 12182
#define ERROR_WINHTTP_HTTP_PROTOCOL_MISMATCH 12190
#define WINHTTP_ERROR_LAST 12186

/* The calling thread's last error (provided by the platform layer; on Windows kernel32's own,
   declared as windows.h declares it). */
#ifdef _WIN32
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
__declspec(dllimport) void __stdcall SetLastError(unsigned long dwErrCode);
#else
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);
#endif

/* The 27 exported WinHTTP functions (besides them only CertFreeCertificateContext and
   LocalFree, declared above, which free what the certificate options return). Those marked
   "not implemented" exist so that code binding the whole table finds them; they fail with
   ERROR_CALL_NOT_IMPLEMENTED (120). */
WINHTTPAPI BOOL WINAPI WinHttpTimeFromSystemTime(const SYSTEMTIME* pst, LPWSTR pwszTime);
WINHTTPAPI BOOL WINAPI WinHttpTimeToSystemTime(LPCWSTR pwszTime, SYSTEMTIME* pst);
WINHTTPAPI BOOL WINAPI WinHttpCrackUrl(LPCWSTR pwszUrl, DWORD dwUrlLength, DWORD dwFlags,
                                       LPURL_COMPONENTS lpUrlComponents);
WINHTTPAPI BOOL WINAPI WinHttpCreateUrl(LPURL_COMPONENTS lpUrlComponents, DWORD dwFlags,
                                        LPWSTR pwszUrl, LPDWORD pdwUrlLength);
WINHTTPAPI BOOL WINAPI WinHttpCheckPlatform(void);
/* Not implemented. */
WINHTTPAPI BOOL WINAPI WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* pProxyInfo);
/* Not implemented. */
WINHTTPAPI BOOL WINAPI WinHttpSetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* pProxyInfo);
WINHTTPAPI HINTERNET WINAPI WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW,
                                        LPCWSTR pszProxyBypassW, DWORD dwFlags);
WINHTTPAPI BOOL WINAPI WinHttpCloseHandle(HINTERNET hInternet);
WINHTTPAPI HINTERNET WINAPI WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName,
                                           INTERNET_PORT nServerPort, DWORD dwReserved);
WINHTTPAPI BOOL WINAPI WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer,
                                       DWORD dwNumberOfBytesToRead, LPDWORD lpdwNumberOfBytesRead);
WINHTTPAPI BOOL WINAPI WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer,
                                        DWORD dwNumberOfBytesToWrite,
                                        LPDWORD lpdwNumberOfBytesWritten);
WINHTTPAPI BOOL WINAPI WinHttpQueryDataAvailable(HINTERNET hRequest,
                                                 LPDWORD lpdwNumberOfBytesAvailable);
WINHTTPAPI BOOL WINAPI WinHttpQueryOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                          LPDWORD lpdwBufferLength);
WINHTTPAPI BOOL WINAPI WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                        DWORD dwBufferLength);
WINHTTPAPI BOOL WINAPI WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout,
                                          int nConnectTimeout, int nSendTimeout,
                                          int nReceiveTimeout);
WINHTTPAPI WINHTTP_STATUS_CALLBACK WINAPI
WinHttpSetStatusCallback(HINTERNET hInternet, WINHTTP_STATUS_CALLBACK lpfnInternetCallback,
                         DWORD dwNotificationFlags, DWORD_PTR dwReserved);
WINHTTPAPI BOOL WINAPI WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders,
                                                DWORD dwHeadersLength, DWORD dwModifiers);
WINHTTPAPI HINTERNET WINAPI WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb,
                                               LPCWSTR pwszObjectName, LPCWSTR pwszVersion,
                                               LPCWSTR pwszReferrer, LPCWSTR* ppwszAcceptTypes,
                                               DWORD dwFlags);
WINHTTPAPI BOOL WINAPI WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders,
                                          DWORD dwHeadersLength, LPVOID lpOptional,
                                          DWORD dwOptionalLength, DWORD dwTotalLength,
                                          DWORD_PTR dwContext);
WINHTTPAPI BOOL WINAPI WinHttpSetCredentials(HINTERNET hRequest, DWORD AuthTargets,
                                             DWORD AuthScheme, LPCWSTR pwszUserName,
                                             LPCWSTR pwszPassword, LPVOID pAuthParams);
WINHTTPAPI BOOL WINAPI WinHttpQueryAuthSchemes(HINTERNET hRequest, LPDWORD lpdwSupportedSchemes,
                                               LPDWORD lpdwFirstScheme, LPDWORD pdwAuthTarget);
WINHTTPAPI BOOL WINAPI WinHttpReceiveResponse(HINTERNET hRequest, LPVOID lpReserved);
WINHTTPAPI BOOL WINAPI WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName,
                                           LPVOID lpBuffer, LPDWORD lpdwBufferLength,
                                           LPDWORD lpdwIndex);
/* Not implemented. */
WINHTTPAPI BOOL WINAPI WinHttpDetectAutoProxyConfigUrl(DWORD dwAutoDetectFlags,
                                                       LPWSTR* ppwstrAutoConfigUrl);
/* Not implemented. */
WINHTTPAPI BOOL WINAPI WinHttpGetProxyForUrl(HINTERNET hSession, LPCWSTR lpcwszUrl,
                                             WINHTTP_AUTOPROXY_OPTIONS* pAutoProxyOptions,
                                             WINHTTP_PROXY_INFO* pProxyInfo);
/* Not implemented. */
WINHTTPAPI BOOL WINAPI
WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* pProxyConfig);

#ifdef __cplusplus
}
#endif
