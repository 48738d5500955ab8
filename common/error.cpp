#include "common/error.h"

#include <cstdarg>
#include <cstdio>

std::string strprintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(&out[0], out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

int exit_status_of(error_kind kind) {
    switch (kind) {
    case error_kind::none:
    case error_kind::answer:
        return EXIT_STATUS_OK;
    case error_kind::usage:
    case error_kind::file:
        return EXIT_STATUS_USAGE;
    case error_kind::tool_usage:
        return EXIT_STATUS_TOOL_USAGE;
    case error_kind::refused:
    case error_kind::failed:
        break;
    }
    return EXIT_STATUS_FAILED;
}

int exit_status_of(error_kind kind, int signal) {
    const int status = exit_status_of(kind);
    return status == EXIT_STATUS_OK && signal != 0 ? EXIT_STATUS_SIGNAL_BASE + signal : status;
}
