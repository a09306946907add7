#include "libfsmcomm/platform_error.h"

#include "libutil/fatal.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

struct code_pair {
    int errno_value;
    int code;
};

// errno of a socket call -> transport value.
constexpr code_pair kTransportErrors[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK}, // a non-blocking connect under way
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {EPIPE, WSAESHUTDOWN}, // send after the connection was shut down
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

// errno -> system code, by the errno names of this platform.
constexpr code_pair kSystemCodes[] = {
    {0, 0},          {EPERM, 5},          {EACCES, 5},   {ENOENT, 2},      {ESRCH, 87},
    {EINVAL, 87},    {E2BIG, 111},        {ENOEXEC, 11}, {EBADF, 6},       {ENOMEM, 14},
    {EFAULT, 1784},  {EBUSY, 170},        {EEXIST, 80},  {ENODEV, 1200},   {ENFILE, 36},
    {EMFILE, 4},     {ENOSPC, 112},       {ESPIPE, 132}, {EPIPE, 109},     {ERANGE, 534},
    {EDEADLK, 1131}, {ENAMETOOLONG, 206}, {ENOSYS, 120}, {ENOTEMPTY, 145}, {WSAETIMEDOUT, 1460},
};
constexpr int kSystemCodeOther = 1117;

// System codes of the table above that callers meet in place of an errno (87 from a failed
// host resolution, 1460 for a time-out, 1117 for the rest, ...) take the text of their errno.
// Other codes are read as errno values, which is what the cluster's daemons report.
constexpr code_pair kSystemCodeTexts[] = {
    {EINVAL, 87},      {EFAULT, 1784},          {EBUSY, 170},        {ENODEV, 1200},
    {ERANGE, 534},     {EDEADLK, 1131},         {ENAMETOOLONG, 206}, {ENOTEMPTY, 145},
    {ETIMEDOUT, 1460}, {EIO, kSystemCodeOther},
};

thread_local int t_last_system_error = 0;

// The errno whose standard text describes `code`.
int errno_for_text(int code) {
    for (const auto &p : kTransportErrors)
        if (p.code == code)
            return p.errno_value;
    for (const auto &p : kSystemCodeTexts)
        if (p.code == code)
            return p.errno_value;
    return code;
}

} // namespace

int transport_error_from_errno(int err) {
    for (const auto &p : kTransportErrors)
        if (p.errno_value == err)
            return p.code;
    return err;
}

int last_system_error() {
    return t_last_system_error;
}

void set_last_system_error(int code) {
    t_last_system_error = code;
}

int save_socket_error() {
    t_last_system_error = transport_error_from_errno(errno);
    return t_last_system_error;
}

int errno_to_win32(int code) {
    for (const auto &p : kSystemCodes)
        if (p.errno_value == code)
            return p.code;
    return kSystemCodeOther;
}

char *error_text(int code, char *buffer, size_t size) {
    if (size == 0)
        return buffer;
    buffer[size - 1] = '\0';
    if (code == -1)
        code = t_last_system_error;
    char text[256];
    bounded_format(buffer, size, "[Win32 error %d]: %s", code,
                   standard_error_text(code, text, sizeof text));
    size_t length = strlen(buffer);
    while (length > 0 && isspace(static_cast<unsigned char>(buffer[length - 1])))
        buffer[--length] = '\0';
    return buffer;
}

char *standard_error_text(int code, char *buffer, size_t size) {
    const char *text = strerror_r(errno_for_text(code), buffer, size);
    if (text != buffer)
        bounded_format(buffer, size, "%s", text);
    return buffer;
}

char *last_error_text(char *buffer, size_t size) {
    return error_text(-1, buffer, size);
}
