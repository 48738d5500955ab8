// What several commands' rows share: the image file's preparation, the
// change as one transaction, and small pieces of their rendering.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "romwright/command_rows.h"

// The region of the EEPROM that rq's image fills.
image_region region_of(const request& rq);

// The span of rq's image beyond the range: a whole image is the range
// itself, a VPD or init image has its own span.
std::optional<eeprom_span> image_span(const request& rq);

// write and verify: the image file named by the argument, read once and
// checked for its size.
std::unique_ptr<image_file> read_image(const request& rq, image_file::use how, observer& obs);
// The image file's size against region's; throws failure(1).
void check_size(const image_region& region, const image_file& f);

// A change: reads the whole EEPROM once, plans it with plan (a pure
// function of the bytes read and where its refusals send the user), keeps
// the EEPROM before and as planned in o, and applies the plan as one
// transaction into r (the command's own result, derived from
// change_result, already in o.output).  Without a session (-plan where
// the EEPROM cannot be read whole) r's plan is the outline of extent, the
// stretches plan writes within.
template <typename Planner>
void change(command_context& c, run_outcome& o, change_result& r, const change_request& cr,
            const change_extent& extent, Planner plan);
// The change request of c's run: words as its journal names it.
change_request change_request_of(const command_context& c, const run_outcome& o, std::string words,
                                 change_rules_use rules);
// Applies p through the transaction (the part after planning of change()).
void apply_planned(command_context& c, run_outcome& o, change_result& r, const change_request& cr, change_plan p,
                   double us_per_read);

template <typename Planner>
void change(command_context& c, run_outcome& o, change_result& r, const change_request& cr,
            const change_extent& extent, Planner plan) {
    if (!c.session) {
        if (!c.rq.change.plan_only)  // without a session nothing may ever be applied
            throw failure(error_kind::failed, "ERROR: a change without an open adapter\n");
        r.plan = outline_change(extent);
        return;
    }
    change_read read = read_for_change(*c.session);
    change_plan p = plan(std::move(read.eeprom), read.at);
    apply_planned(c, o, r, cr, std::move(p), read.us_per_read);
}

// The transaction's part of o's result, when rq's command is a change.
const change_result* change_of(const request& rq, const run_outcome& o);
// -plan's text, else nothing.
std::string change_text(const request& rq, const run_outcome& o);
// Every change's keys; r: the change's result (an empty one when the run
// ended before it had one).
void change_json(json_value& doc, const change_result& r, const run_outcome& o);
// The interruption standing, when one stands.
void put_interrupted(json_value& doc, const run_outcome& o);

// The result of o, or the empty one when the run ended before it had one.
template <typename Result>
const Result& result_or_empty(const run_outcome& o) {
    static const Result empty{};
    const Result* r = o.output.get<Result>();
    return r ? *r : empty;
}

// The history record of a change run that reached the adapter.
// image_digest: the image file's digest as the run found it.
json_value change_record(adapter_session& s, const request& rq, const image_file* image,
                         const std::string& image_digest, const run_outcome& o, int64_t started);

// The options of the commands on an adapter, on the range, and of those
// that change the EEPROM.
constexpr unsigned ADAPTER_OPTIONS = TAKES_B | TAKES_JSON;
constexpr unsigned RANGE_OPTIONS = TAKES_ADDR | TAKES_LEN;
constexpr unsigned CHANGE_OPTIONS = ADAPTER_OPTIONS | TAKES_BACKUP | TAKES_PLAN;
