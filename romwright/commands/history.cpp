// history: the changes recorded of -b's boards (of every board without -b).
#include "romwright/commands/shared.h"
#include "romwright/history.h"

namespace {

// The records of the boards asked for, in file order.
struct history_result {
    std::vector<json_value> records;
    std::vector<std::string> warnings;  // the lines skipped, each its warning
};

void run(command_context& c, run_outcome& o) {
    history_result& r = o.output.emplace<history_result>();
    if (c.where.history_file.empty())
        return;
    history_read h = read_history(c.where.history_file);
    if (!h.error.empty())
        throw failure(error_kind::failed, "ERROR: " + h.error + "\n");
    for (std::string& w : h.warnings) {
        c.obs.note(w);
        r.warnings.push_back(without_trailing_newlines(std::move(w)));
    }
    for (json_value& rec : h.records)
        if (c.rq.all_adapters || c.rq.addresses.empty() || history_matches(rec, c.rq.addresses))
            r.records.push_back(std::move(rec));
}

std::string text(const request&, const run_outcome& o) {
    std::string t;
    for (const json_value& r : o.output.get<history_result>()->records)
        t += history_line(r);
    return t;
}

void keys(json_value& doc, const request&, const run_outcome& o) {
    const history_result& r = result_or_empty<history_result>(o);
    json_value records = json_value::array();
    for (const json_value& rec : r.records)
        records.push_back(rec);
    doc["records"] = records;
    if (!r.warnings.empty())
        doc["warnings"] = r.warnings;
}

}  // namespace

extern const command_row history_row =
    command_row("history")
        .helps("history", "the changes recorded of -b's boards (of every board without -b)")
        .option_bits(TAKES_B | TAKES_JSON)
        .on_host()
        .runs(run)
        .says(text)
        .keys(keys);
