// verify -f:FILE (-fvpd:, -finit:): an image compared with the EEPROM.
#include "romwright/commands/shared.h"

namespace {

std::unique_ptr<image_file> prepare(const request& rq, const site&, observer& obs) {
    return read_image(rq, image_file::use::read, obs);
}

void run(command_context& c, run_outcome& o) {
    verify_result& r = o.output.emplace<verify_result>();
    verify_image(*c.session, *c.image, region_of(c.rq), c.rq.type == image_type::init ? "(init)" : "", c.rq.first, r);
}

void verdict(run_outcome& o) {
    if (!o.output.get<verify_result>()->passed)
        o.kind = error_kind::failed;
}

void keys(json_value& doc, const request&, const run_outcome& o) {
    put_interrupted(doc, o);
    const verify_result& r = result_or_empty<verify_result>(o);
    json_value mismatches = json_value::array();
    for (const word_mismatch& m : r.mismatches)
        mismatches.push_back({{"address", m.address}, {"expected", m.file}, {"found", m.eeprom}});
    doc["passed"] = r.passed;
    doc["mismatches"] = mismatches;
}

}  // namespace

extern const command_row verify_row =
    command_row("verify")
        .takes_image("")
        .helps("verify -f:FILE", "compare an image with the EEPROM (also -fvpd:, -finit:)")
        .option_bits(ADAPTER_OPTIONS | RANGE_OPTIONS)
        .uses(range_use::addr_len)
        .spans(image_span)
        .prepares(prepare)
        .runs(run)
        .judges(verdict)
        .keys(keys);
