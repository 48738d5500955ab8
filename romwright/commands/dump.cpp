// dump: the range as a hex dump.
#include "romwright/commands/shared.h"

namespace {

void run(command_context& c, run_outcome& o) { o.output = read_range(*c.session, c.rq.first, c.rq.size); }

std::string text(const request&, const run_outcome& o) {
    const dump_result& r = *o.output.get<dump_result>();
    return render_dump(r.bytes.data(), r.start, r.start + static_cast<uint32_t>(r.bytes.size()));
}

void keys(json_value& doc, const request&, const run_outcome& o) {
    put_interrupted(doc, o);
    const dump_result* r = o.output.get<dump_result>();
    if (!r)
        return;
    json_value words = json_value::array();
    for (size_t i = 0; i < r->bytes.size(); i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4 && i + k < r->bytes.size(); ++k)
            w |= uint32_t{r->bytes[i + k]} << (8 * k);
        words.push_back(w);
    }
    doc["start"] = r->start;
    doc["length"] = r->bytes.size();
    doc["words"] = words;
}

}  // namespace

extern const command_row dump_row = command_row("dump")
                                        .helps("dump", "print the range -addr, -len as a hex dump")
                                        .option_bits(ADAPTER_OPTIONS | RANGE_OPTIONS)
                                        .uses(range_use::addr_len)
                                        .runs(run)
                                        .says(text)
                                        .keys(keys);
