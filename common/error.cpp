#include "common/error.h"

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

std::string fact_value(const std::vector<failure::fact>& facts, const char* key) {
    for (const failure::fact& f : facts)
        if (f.first == key)
            return f.second;
    return "";
}
