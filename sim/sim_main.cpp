// romwright-sim: the program on a simulated adapter.
#include <cstdio>
#include <vector>

#include "romwright/romwright.h"
#include "sim/sim_adapter.h"
#include "sim/sim_options.h"

int main(int argc, char** argv) {
    sim_command_line line;
    try {
        line = parse_sim_command_line(argc, argv);
    } catch (const failure& f) {
        std::fputs(f.what(), stderr);
        return f.status();
    }
    if (line.help) {
        std::fputs(sim_usage_text(), stdout);
        return 0;
    }
    const sim_config& cfg = line.config;
    std::string err;
    if (!cfg.serve_path.empty()) {
        const int status = sim_serve(cfg, err);
        std::fputs(err.c_str(), stderr);
        return status;
    }
    sim_adapter& sim = the_sim();
    if (sim.open(cfg, err) != 0) {
        std::fputs(err.c_str(), stderr);
        return 2;
    }
    sim_platform platform(sim);
    if (platform.open_own_adapters(err) != 0) {
        std::fputs(err.c_str(), stderr);
        return 2;
    }

    static char program[] = "romwright";
    std::vector<char*> words{program};
    for (std::string& w : line.words)
        words.push_back(w.data());
    words.push_back(nullptr);
    int status = romwright_main(platform, static_cast<int>(words.size()) - 1, words.data());
    if (cfg.stats) {
        sim_counts c;  // every model's together
        for (sim_adapter* a : platform.adapters()) {
            c.register_reads += a->counts().register_reads;
            c.register_writes += a->counts().register_writes;
            c.eeprom_words_read += a->counts().eeprom_words_read;
            c.status_polls += a->counts().status_polls;
            c.eeprom_words_written += a->counts().eeprom_words_written;
        }
        const int64_t us = sim.elapsed_us();
        std::fprintf(stderr,
                     "romwright-sim: register reads %llu, register writes %llu; EEPROM words read %llu (status polls "
                     "%llu), EEPROM words written %llu; virtual time %lld.%06lld s\n",
                     static_cast<unsigned long long>(c.register_reads), static_cast<unsigned long long>(c.register_writes),
                     static_cast<unsigned long long>(c.eeprom_words_read), static_cast<unsigned long long>(c.status_polls),
                     static_cast<unsigned long long>(c.eeprom_words_written), static_cast<long long>(us / 1000000),
                     static_cast<long long>(us % 1000000));
    }
    sim.close();
    return status;
}
