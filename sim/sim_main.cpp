// romwright-sim: the program on a simulated adapter.
#include <cstdio>
#include <vector>

#include "romwright/romwright.h"
#include "sim/sim_adapter.h"

int main(int argc, char** argv) {
    sim_config cfg;
    std::string err;
    int first_word = argc;
    switch (sim_parse_options(argc, argv, cfg, &first_word, err)) {
    case 0:
        break;
    case 2:
        std::fputs(sim_usage_text(), stdout);
        return 0;
    default:
        std::fputs(err.c_str(), stderr);
        return 2;
    }
    if (!cfg.serve_path.empty()) {
        // The program runs where the client is, not here.
        int status = first_word < argc ? 2 : sim_serve(cfg, err);
        if (first_word < argc)
            err = "romwright-sim: --serve takes no romwright words: the program runs in the client's machine\n";
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
    for (int i = first_word; i < argc; ++i)
        words.push_back(argv[i]);
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
