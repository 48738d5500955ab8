// main's whole control flow: walk the words into one request, check it,
// open the adapter, run one command, render its result or failure.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "adapter/adapter.h"
#include "common/error.h"
#include "romwright/command_rows.h"
#include "romwright/fleet.h"
#include "romwright/front_end.h"
#include "romwright/messages.h"
#include "romwright/in_service.h"
#include "romwright/metrics.h"
#include "romwright/progress_bar.h"
#include "romwright/render.h"
#include "romwright/stdout_check.h"
#include "romwright/vpd_render.h"

namespace {

// Warnings are no result: under -json they stay off standard output.
void show_warnings(const request& rq) {
    for (const std::string& w : rq.warnings)
        std::fputs(w.c_str(), rq.json ? stderr : stdout);
}

// A failure before any adapter was opened, as text or as {"error", "status"}.
void show_failure(const request& rq, const std::string& text, int status,
                  const std::vector<failure::fact>& facts = {}) {
    std::fputs((rq.json ? render_json_error(text, status, facts) : text).c_str(), stdout);
}

void show(const request& rq, const run_outcome& o, const std::string& metrics) {
    FILE* out = rq.metrics_to_stdout() ? stderr : stdout;
    if (rq.json) {
        if (!o.error.empty() && !o.opened)
            show_failure(rq, o.error, o.status(), o.facts);
        else
            std::fputs(json_text(outcome_json(rq, o)).c_str(), stdout);
        return;
    }
    std::fputs(outcome_text(rq, o).c_str(), out);
    std::fputs(metrics.c_str(), stdout);
    if (!o.signal)
        return;
    const std::string name = deferred_signal_name(o.signal);
    if (exit_status_of(o.kind) == EXIT_STATUS_OK)
        std::fprintf(out, "Interrupted by %s (signal %d): the transfer was finished first, the adapter reset; "
                     "stopping\n",
                     name.c_str(), o.signal);
    else  // the failure is the news: its status stands
        std::fprintf(out, "%s (signal %d) arrived during the command, which failed; the adapter reset; stopping\n",
                     name.c_str(), o.signal);
}

// Output that did not reach its destination is a failure.
int finish(int status) {
    if (standard_output_lost("romwright") && status == EXIT_STATUS_OK)
        status = exit_status_of(error_kind::failed);
    return status;
}

}  // namespace

int romwright_main(platform& p, const site& where, int argc, char** argv) {
    request rq;
    try {
        parse_request(argc, argv, rq);
    } catch (const failure& e) {
        show_warnings(rq);  // met before the walk failed
        show_failure(rq, message_of(e), e.status());
        return finish(e.status());
    }
    show_warnings(rq);
    if (!rq.answer.empty()) {
        std::fputs(rq.answer.c_str(), stdout);  // --help and --version answer as text, -json or not
        return finish(exit_status_of(error_kind::answer));
    }

    // The progress bar, drawn on standard error when it is a terminal.
    std::unique_ptr<progress_bar> bar = isatty(STDERR_FILENO) ? std::make_unique<progress_bar>(stderr) : nullptr;
    std::unique_ptr<observer> obs = rq.json ? make_json_observer(bar.get())
                                            : make_text_observer(bar.get(), rq.metrics_to_stdout() ? stderr : stdout);
    run_outcome o;
    try {
        if (!rq.command->needs_adapter()) {
            run_on_host(p, where, rq, *obs, o);
        } else {
            check_request(rq);
            // Everything the command needs from files and ranges is checked
            // (and the image file read) before any adapter is touched.
            std::unique_ptr<image_file> image = prepare_command(rq, where, *obs);
            if (rq.several())
                return finish(run_several(p, where, rq, image.get(), bar.get()));
            run_on_adapter(p, where, rq, find_function(p, rq.addresses.front()), nullptr, image.get(), *obs, o);
        }
    } catch (const failure& e) {
        note_failure(o, e);
    } catch (const std::exception& e) {
        note_failure(o, failure(error_kind::failed, strprintf("ERROR: %s\n", e.what())));
    }
    std::string metrics;
    if (!rq.prometheus_file.empty() && !rq.addresses.empty()) {
        const std::string label = o.adapter.empty() ? address_text(rq.addresses.front()) : o.adapter;
        const identity_verdict v = finish_identity_run(rq, where, {{label, &o}}, false);
        metrics = v.metrics_text;
        if (exit_status_of(o.kind) == EXIT_STATUS_OK && exit_status_of(v.kind) != EXIT_STATUS_OK)
            o.kind = v.kind;
        if (rq.metrics_status && !v.metrics_failed)
            o.kind = error_kind::none;  // the findings are in the metrics
    }
    show(rq, o, metrics);
    if (!o.opened && rq.addresses.size() == 1)
        note_not_found(address_text(rq.addresses.front()), o.error);
    return finish(o.status());
}
