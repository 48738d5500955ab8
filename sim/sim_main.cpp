// romwright-sim: the program on a simulated adapter.
#include <cstdio>
#include <vector>

#include "common/error.h"
#include "romwright/front_end.h"
#include "romwright/messages.h"
#include "sim/sim_adapter.h"
#include "sim/sim_options.h"

namespace {

// --stats: every model's counts together, and the shared model's time.
void print_stats(sim_platform& platform) {
    sim_counts c;
    for (sim_adapter* a : platform.models()) {
        c.register_reads += a->counts().register_reads;
        c.register_writes += a->counts().register_writes;
        c.eeprom_words_read += a->counts().eeprom_words_read;
        c.status_polls += a->counts().status_polls;
        c.eeprom_words_written += a->counts().eeprom_words_written;
    }
    const int64_t us = platform.model().elapsed_us();
    std::fprintf(stderr,
                 "romwright-sim: register reads %llu, register writes %llu; EEPROM words read %llu (status polls "
                 "%llu), EEPROM words written %llu; virtual time %lld.%06lld s\n",
                 static_cast<unsigned long long>(c.register_reads), static_cast<unsigned long long>(c.register_writes),
                 static_cast<unsigned long long>(c.eeprom_words_read), static_cast<unsigned long long>(c.status_polls),
                 static_cast<unsigned long long>(c.eeprom_words_written), static_cast<long long>(us / 1000000),
                 static_cast<long long>(us % 1000000));
}

}  // namespace

int main(int argc, char** argv) {
    sim_command_line line;
    try {
        line = parse_sim_command_line(argc, argv);
    } catch (const failure& f) {
        std::fputs(message_of(f).c_str(), stderr);
        return f.status();
    }
    if (line.help) {
        std::fputs(line.help_text.c_str(), stdout);
        return 0;
    }
    const sim_config& cfg = line.config;
    try {
        if (!cfg.serve_path.empty()) {
            sim_serve(cfg);
            return 0;
        }
        sim_platform platform(cfg);

        static char program[] = "romwright";
        std::vector<char*> words{program};
        for (std::string& w : line.words)
            words.push_back(w.data());
        words.push_back(nullptr);
        const int status =
            romwright_main(platform, platform.where(), static_cast<int>(words.size()) - 1, words.data());
        if (cfg.stats)
            print_stats(platform);
        return status;
    } catch (const failure& e) {
        std::fputs(message_of(e).c_str(), stderr);
        return e.status();
    }
}
