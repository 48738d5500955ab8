// repair: bad VPD copies rewritten from the agreeing good ones.
#include "romwright/commands/shared.h"

namespace {

struct repair_result : change_result {
    std::vector<copy_repair> repairs;  // the copies rewritten
};

void run(command_context& c, run_outcome& o) {
    change_rules_use rules;
    rules.takes_identity = true;  // from the agreeing copies
    repair_result& r = o.output.emplace<repair_result>();
    // The copies planned are the result once the plan is applied, and
    // after a failure on the way.
    std::vector<copy_repair> planned;
    struct keep_repairs {
        repair_result& r;
        std::vector<copy_repair>& planned;
        ~keep_repairs() {
            if (!r.refusal && !r.plan)
                r.repairs = std::move(planned);
        }
    } keep{r, planned};
    change(c, o, r, change_request_of(c, o, "repair", rules), repair_extent(),
           [&](std::vector<uint8_t> before, const plan_place& at) {
               change_plan p = plan_repair(std::move(before), at);
               planned = p.repairs;
               return p;
           });
}

std::string text(const request& rq, const run_outcome& o) {
    const repair_result& r = *o.output.get<repair_result>();
    if (r.plan)
        return change_text(rq, o);
    if (r.repairs.empty())
        return strprintf("Nothing to repair: all %d VPD copies are good and hold one identity\n", VPD_COPIES_IN_IMAGE);
    return strprintf("Repaired %zu of %d VPD copies: %u word%s written\n", r.repairs.size(), VPD_COPIES_IN_IMAGE,
                     r.words_written, r.words_written == 1 ? "" : "s");
}

void keys(json_value& doc, const request&, const run_outcome& o) {
    const repair_result& r = result_or_empty<repair_result>(o);
    change_json(doc, r, o);
    doc["repairs"] = repairs_json(r.repairs);
}

}  // namespace

extern const command_row repair_row = command_row("repair")
                                          .helps("repair", "rewrite bad VPD copies from the agreeing good ones")
                                          .option_bits(CHANGE_OPTIONS)
                                          .runs(run)
                                          .says(text)
                                          .keys(keys)
                                          .changes<repair_result>();
