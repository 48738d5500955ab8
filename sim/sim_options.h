// romwright-sim's own command line: the simulator's options before "--",
// romwright's words after it.
#pragma once

#include <string>
#include <vector>

#include "sim/sim_adapter.h"

struct sim_command_line {
    bool help = false;               // --help, -h or --version: the answer is help_text
    std::string help_text;           // the options as registered, each with its description; the version
    sim_config config;
    std::vector<std::string> words;  // romwright's own words, after "--"
};

// Reads the options in order; the first problem among them throws failure
// (error_kind::tool_usage) with its message.
sim_command_line parse_sim_command_line(int argc, char** argv);
