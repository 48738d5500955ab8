// Helpers shared by the in-process unit and register-sequence tests.
#pragma once

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/error.h"
#include "romwright/messages.h"
#include "support/support.h"

inline sim_access R(uint32_t offset, uint32_t value) { return sim_access{'R', offset, value}; }
inline sim_access W(uint32_t offset, uint32_t value) { return sim_access{'W', offset, value}; }

// Register accesses print like the simulator's trace lines in failures.
inline void PrintTo(const sim_access& a, std::ostream* os) {
    char line[40];
    std::snprintf(line, sizeof line, "%c 0x%05x 0x%08x", a.kind, a.offset, a.value);
    *os << line;
}

// What a call printed, and the status it ended with: the status of the
// failure it threw (whose text is appended, as main prints it), or
// RETURNED when it returned normally.
constexpr int RETURNED = -1;
struct outcome {
    int status = RETURNED;
    std::string out;
};
inline outcome run_catching(const std::function<void()>& fn) {
    outcome o;
    o.out = capture_stdout([&] {
        try {
            fn();
        } catch (const failure& e) {
            if (!e.shown())  // as main renders it
                std::fputs(message_of(e).c_str(), stdout);
            o.status = e.status();
        }
    });
    return o;
}
