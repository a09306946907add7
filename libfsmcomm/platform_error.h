// Error values of the transport and their texts. Socket failures are reported with the
// program's own numbering (10004 interrupted ... 10061 refused); each thread keeps its last
// system error, as the socket layer the program was written for did.
#pragma once

#include <cstddef>

constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;

// The transport value of a socket-call errno. EINPROGRESS of a non-blocking connect becomes
// WSAEWOULDBLOCK and EPIPE becomes WSAESHUTDOWN, as the program expects; an errno without a
// transport value is returned unchanged.
int transport_error_from_errno(int err);

// The calling thread's last system error.
int last_system_error();
void set_last_system_error(int code);

// Stores transport_error_from_errno(errno) as the thread's last system error and returns it.
// Call right after a failed socket or poll call.
int save_socket_error();

// Maps an errno value (by this platform's errno names) to a system code: 0 success, 5 access
// denied, 2 file not found, 87 invalid parameter, ..., 1460 for WSAETIMEDOUT, 1117 otherwise.
int errno_to_win32(int code);

// Writes "[Win32 error %d]: %s" with `code` (-1: the thread's last system error) and its text
// into `buffer`, truncated within `size`, without trailing blanks. Returns `buffer`; a `size`
// of 0 leaves it untouched. The text is strerror of the matching errno: the errno behind a
// transport value, or behind a system code that no daemon sends as an errno (87, 145, 170,
// 206, 534, 1117, 1131, 1200, 1460, 1784); any other code is taken as an errno itself.
char *error_text(int code, char *buffer, size_t size);

// The standard (strerror) text of `code` alone, without the "[Win32 error %d]: " prefix: the
// text of the errno behind a transport value or system code as error_text finds it, else of
// `code` as an errno. Returns `buffer`, always terminated within `size` (size above 0).
char *standard_error_text(int code, char *buffer, size_t size);

// error_text of the thread's last system error.
char *last_error_text(char *buffer, size_t size);
