// restore FILE: a saved whole-EEPROM image put back as it is.
#include "eeprom/image_digest.h"
#include "romwright/commands/shared.h"

namespace {

struct restore_result : change_result {
    std::string image_digest;  // the file's, as the run found it
};

std::unique_ptr<image_file> prepare(const request& rq, const site&, observer& obs) {
    std::unique_ptr<image_file> f = image_file::open(rq.file, image_file::use::read, SEEPROM_SIZE, obs);
    check_size(WHOLE_EEPROM_IMAGE, *f);
    return f;
}

void run(command_context& c, run_outcome& o) {
    const std::vector<uint8_t>& image = c.image->bytes();
    const bool changed_only = c.rq.change.changed_only;
    change_rules_use rules;
    rules.restores = true;
    restore_result& r = o.output.emplace<restore_result>();
    r.image_digest = image_digest(image);
    change(c, o, r, change_request_of(c, o, "restore " + c.rq.file, rules), restore_extent(changed_only),
           [&](std::vector<uint8_t> before, const plan_place&) {
               return plan_restore(std::move(before), image, changed_only);
           });
}

void keys(json_value& doc, const request&, const run_outcome& o) {
    const restore_result& r = result_or_empty<restore_result>(o);
    change_json(doc, r, o);
    if (o.output.get<restore_result>())
        doc["image_digest"] = r.image_digest;
}

}  // namespace

extern const command_row restore_row =
    command_row("restore")
        .takes_file()
        .helps("restore FILE", "put a saved whole-EEPROM image back as it is")
        .option_bits(CHANGE_OPTIONS | TAKES_CHANGED_OPTION | TAKES_FORCE_IDENTITY)
        .prepares(prepare)
        .runs(run)
        .says(change_text)
        .keys(keys)
        .changes<restore_result>();
