// main's whole control flow: walk the words, check them, find the adapter,
// run one command.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/exit_status.h"
#include "eeprom/eeprom.h"
#include "eeprom/vpd_report.h"
#include "romwright/command_line.h"
#include "romwright/romwright.h"

namespace {

// Unmaps the window and drops the adapter lock however the run ends.
struct window_guard {
    ~window_guard() { map_dev_ioregion_destroy(); }
};

int run_command(const command_line& cl) {
    switch (cl.command) {
    case command_code::read:
        return op_read(g_filename);
    case command_code::write:
        return op_write(g_filename, cl.change);
    case command_code::restore:
        return op_restore(g_filename, cl.change);
    case command_code::verify:
        return op_verify(g_filename);
    case command_code::clearinit:
        return clear_init(cl.change);
    case command_code::clearvpd:
        return clear_vpd(cl.change);
    case command_code::vpd:
        return op_vpd(g_json_output);
    case command_code::list:
        return list_adapters(g_json_output);
    case command_code::dump:
        break;
    }
    return op_dump();
}

int run(int argc, char** argv) {
    const command_line cl = parse_command_line(argc, argv);
    // -json belongs to vpd and list; other commands pass it over, as any
    // word that is not theirs.
    g_json_output = cl.json && (cl.command == command_code::vpd || cl.command == command_code::list);
    if (cl.json && !g_json_output)
        std::fputs("romwright: -json has no effect on this command\n", stderr);
    if (cl.command == command_code::list)
        return list_adapters(g_json_output);  // maps nothing, needs no -b

    if (!cl.address_given)
        throw exit_error(EXIT_STATUS_FAILED, "Please specify the bus:device:function number using -b option\n");
    const uint64_t end = uint64_t{g_seeprom_first_addr} + g_seeprom_size;
    if (end > SEEPROM_SIZE)
        throw exit_error(EXIT_STATUS_FAILED, strprintf("Error: -addr 0x%x + -len 0x%x must be <= 0x%x\n",
                                                       g_seeprom_first_addr, g_seeprom_size, SEEPROM_SIZE));
    g_seeprom_end_addr = static_cast<uint32_t>(end);
    if (g_seeprom_first_addr % 4 != 0)
        throw exit_error(EXIT_STATUS_FAILED,
                         strprintf("Error: -addr 0x%x must be multiple of 4\n", g_seeprom_first_addr));

    // Everything the command needs from files and ranges is checked before
    // the adapter is touched.
    check_command_inputs(cl.command, cl.change);

    window_guard window;
    if (dev_find_n_map(cl.address) == 0)
        throw exit_error(EXIT_STATUS_FAILED, strprintf("Unable to find device  %x:*\n", ADAPTER_VENDOR_ID));
    disable_vpd_timer();
    return run_command(cl);
}

}  // namespace

int romwright_main(int argc, char** argv) {
    int status;
    try {
        status = run(argc, argv);
    } catch (const exit_error& e) {
        status = e.status();
        // --help and --version answer as text, -json or not.
        const bool as_json = g_json_output && status != EXIT_STATUS_OK;
        std::fputs(as_json ? render_json_error(e.what(), status).c_str() : e.what(), stdout);
    } catch (const std::exception& e) {
        status = EXIT_STATUS_FAILED;
        const std::string text = strprintf("ERROR: %s\n", e.what());
        std::fputs(g_json_output ? render_json_error(text, status).c_str() : text.c_str(), stdout);
    }
    g_json_output = false;
    if (int sig = deferred_signal()) {
        clear_deferred_signal();
        const std::string name = deferred_signal_name(sig);
        if (status == EXIT_STATUS_OK) {
            std::printf("Interrupted by %s (signal %d): the transfer was finished first, the adapter reset; "
                        "stopping\n",
                        name.c_str(), sig);
            status = EXIT_STATUS_SIGNAL_BASE + sig;
        } else {
            // The failure is the news: its status stands.
            std::printf("%s (signal %d) arrived during the command, which failed; the adapter reset; stopping\n",
                        name.c_str(), sig);
        }
    }
    // Output that did not reach its destination (a full disk, a pipe whose
    // reader went away while SIGPIPE was ignored) is a failure, noted where
    // the output cannot go.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int e = errno;
        std::fprintf(stderr, "romwright: standard output could not be written%s%s\n", e ? ": " : "",
                     e ? std::strerror(e) : "");
        if (status == EXIT_STATUS_OK)
            status = EXIT_STATUS_FAILED;
        std::clearerr(stdout);  // the next run in this process starts clean
    }
    return status;
}
