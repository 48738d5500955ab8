// clearinit and clearvpd: a region filled with 0xFF.
#include "romwright/commands/shared.h"

namespace {

struct clearinit_result : change_result {};
struct clearvpd_result : change_result {};

std::optional<eeprom_span> init_region_span(const request& rq) {
    return eeprom_span{"Init region", rq.first, INIT_REGION_SIZE};
}

void run_clearinit(command_context& c, run_outcome& o) {
    const uint32_t first = c.rq.first;
    change(c, o, o.output.emplace<clearinit_result>(), change_request_of(c, o, "clearinit", {}),
           clear_init_extent(first),
           [&](std::vector<uint8_t> before, const plan_place&) { return plan_clear_init(std::move(before), first); });
}

void run_clearvpd(command_context& c, run_outcome& o) {
    change(c, o, o.output.emplace<clearvpd_result>(), change_request_of(c, o, "clearvpd", {}), clear_vpd_extent(),
           [](std::vector<uint8_t> before, const plan_place&) { return plan_clear_vpd(std::move(before)); });
}

template <typename Result>
void keys(json_value& doc, const request&, const run_outcome& o) {
    change_json(doc, result_or_empty<Result>(o), o);
}

}  // namespace

extern const command_row clearinit_row =
    command_row("clearinit")
        .helps("clearinit", "fill the 1024 bytes from -addr (default 0) with 0xFF")
        .option_bits(CHANGE_OPTIONS | RANGE_OPTIONS)  // -len: taken as ever, though the region is always 1024 bytes
        .uses(range_use::addr)
        .spans(init_region_span)
        .runs(run_clearinit)
        .says(change_text)
        .keys(keys<clearinit_result>)
        .changes<clearinit_result>();

extern const command_row clearvpd_row =
    command_row("clearvpd")
        .helps("clearvpd", "fill 0x0400-0x43FF with 0xFF (erases the identity)")
        .option_bits(CHANGE_OPTIONS)
        .runs(run_clearvpd)
        .says(change_text)
        .keys(keys<clearvpd_result>)
        .changes<clearvpd_result>();
