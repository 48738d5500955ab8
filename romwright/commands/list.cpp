// list: the adapters of the host.
#include "romwright/commands/shared.h"
#include "romwright/list.h"

namespace {

void run(command_context& c, run_outcome& o) { o.output = list_adapters(c.host, c.where, c.obs); }

void verdict(run_outcome& o) {
    if (o.output.get<list_result>()->adapters.empty())
        o.kind = error_kind::failed;
}

std::string text(const request&, const run_outcome& o) { return render_list_text(*o.output.get<list_result>()); }

void keys(json_value& doc, const request&, const run_outcome& o) {
    doc["adapters"] = list_json(result_or_empty<list_result>(o));
}

}  // namespace

extern const command_row list_row = command_row("list")
                                        .helps("list", "list the adapters (needs no -b)")
                                        .option_bits(TAKES_JSON)
                                        .on_host()
                                        .runs(run)
                                        .judges(verdict)
                                        .says(text)
                                        .keys(keys);
