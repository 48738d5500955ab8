// main's whole control flow: walk the words into one request, check it,
// open the adapter, run one command, render its result or failure.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "adapter/adapter.h"
#include "common/error.h"
#include "eeprom/commands.h"
#include "eeprom/vpd_report.h"
#include "romwright/fleet.h"
#include "romwright/list.h"
#include "romwright/render.h"
#include "romwright/romwright.h"

namespace {

// What a run ended with, before it is rendered.
struct outcome {
    command_result result;
    std::string error;  // the failure's text; empty: none
    bool shown = false; // the text already went out with the command's text
    bool opened = false; // an adapter was opened
};

// The checks of the request that need no file and no adapter.
void check_request(const request& rq) {
    if (rq.addresses.empty() && !rq.all_adapters)
        throw failure(error_kind::failed, "Please specify the bus:device:function number using -b option\n");
    if (!uses_range(rq.command))
        return;  // a range the command passes over is not checked either
    if (uint64_t{rq.first} + rq.size > SEEPROM_SIZE)
        throw failure(error_kind::failed, strprintf("Error: -addr 0x%x + -len 0x%x must be <= 0x%x\n", rq.first,
                                                    rq.size, SEEPROM_SIZE));
    if (rq.first % 4 != 0)
        throw failure(error_kind::failed, strprintf("Error: -addr 0x%x must be multiple of 4\n", rq.first));
}

void run(platform& p, const site& where, const request& rq, observer& obs, outcome& o) {
    check_request(rq);
    // Everything the command needs from files and ranges is checked (and
    // the image file read) before the adapter is touched.
    std::unique_ptr<image_file> image = prepare_command(rq, where, obs);
    std::unique_ptr<adapter_session> session = open_adapter(p, where, rq.addresses.front(), obs);
    o.opened = true;
    run_command(*session, rq, image.get(), o.result);
}

// Output that did not reach its destination (a full disk, a pipe whose
// reader went away while SIGPIPE was ignored) is a failure, noted where the
// output cannot go.
int finish(int status) {
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

}  // namespace

int romwright_main(platform& p, const site& where, int argc, char** argv) {
    request rq;
    outcome o;
    int status = EXIT_STATUS_OK;
    bool answered = false;
    std::unique_ptr<observer> obs;
    try {
        parse_request(argc, argv, rq);
        obs = rq.json ? make_json_observer() : make_text_observer();
        // Warnings are no result: under -json they stay off standard output.
        for (const std::string& w : rq.warnings)
            std::fputs(w.c_str(), rq.json ? stderr : stdout);
        if (rq.several() && rq.command != command_code::list) {
            check_request(rq);
            int st = run_several(p, where, rq);
            if (const int sig = deferred_signal()) {
                clear_deferred_signal();
                if (!rq.json)
                    std::printf("%s (signal %d) arrived during the command; every transfer was finished first, "
                                "the adapters reset; stopping\n",
                                deferred_signal_name(sig).c_str(), sig);
                if (st == EXIT_STATUS_OK)
                    st = EXIT_STATUS_SIGNAL_BASE + sig;
            }
            return finish(st);
        }
        if (rq.command == command_code::list) {
            const list_result l = list_adapters(p, where, *obs);
            std::fputs((rq.json ? render_list_json(l) : render_list_text(l)).c_str(), stdout);
            status = l.status;
        } else {
            run(p, where, rq, *obs, o);
            status = o.result.status;
        }
    } catch (const failure& e) {
        for (const std::string& w : rq.warnings)  // met before the walk failed
            if (!obs)
                std::fputs(w.c_str(), rq.json ? stderr : stdout);
        status = e.status();
        o.error = e.what();
        o.shown = e.shown();
        answered = e.kind() == error_kind::answer;
    } catch (const std::exception& e) {
        status = EXIT_STATUS_FAILED;
        o.error = strprintf("ERROR: %s\n", e.what());
    }

    std::string signal;
    const int sig = deferred_signal();
    if (sig) {
        clear_deferred_signal();
        signal = deferred_signal_name(sig);
    }
    const bool failed = status != EXIT_STATUS_OK;
    if (sig && !failed)
        status = EXIT_STATUS_SIGNAL_BASE + sig;
    o.result.status = status;

    if (answered) {
        std::fputs(o.error.c_str(), stdout);  // --help and --version answer as text, -json or not
    } else if (rq.json) {
        // A failure before any adapter was opened, and every failure of vpd
        // and list (which keep the documents they have always given), is
        // {"error", "status"}.
        const bool own_document = rq.command == command_code::vpd || rq.command == command_code::list;
        if (!o.error.empty() && (own_document || !o.opened))
            std::fputs(render_json_error(o.error, status).c_str(), stdout);
        else if (rq.command != command_code::list)
            std::fputs(render_result_json(rq, o.result, o.error, signal).c_str(), stdout);
    } else {
        if (!o.shown)
            std::fputs(o.error.c_str(), stdout);
        if (o.error.empty())
            std::fputs(render_result_text(rq, o.result).c_str(), stdout);
        if (sig && !failed)
            std::printf("Interrupted by %s (signal %d): the transfer was finished first, the adapter reset; "
                        "stopping\n",
                        signal.c_str(), sig);
        else if (sig)
            // The failure is the news: its status stands.
            std::printf("%s (signal %d) arrived during the command, which failed; the adapter reset; stopping\n",
                        signal.c_str(), sig);
    }
    return finish(status);
}
