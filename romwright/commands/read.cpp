// read FILE: the range saved into a file.
#include "romwright/commands/shared.h"

namespace {

std::unique_ptr<image_file> prepare(const request& rq, const site& where, observer&) {
    check_read_file(rq.file, where, rq);
    return nullptr;
}

void run(command_context& c, run_outcome& o) {
    o.output = save_range(*c.session, c.rq.first, c.rq.size, c.rq.file, kept_paths(c.where, c.rq));
}

std::string text(const request& rq, const run_outcome&) {
    return strprintf("Wrote those bytes to binary file %s\n", rq.file.c_str());
}

void keys(json_value& doc, const request&, const run_outcome& o) {
    put_interrupted(doc, o);
    if (const read_result* r = o.output.get<read_result>()) {
        doc["file"] = r->file;
        doc["size"] = r->size;
        doc["sha256"] = r->sha256;
    }
}

}  // namespace

extern const command_row read_row = command_row("read")
                                        .takes_file()
                                        .helps("read FILE", "save the range into FILE")
                                        .option_bits(ADAPTER_OPTIONS | RANGE_OPTIONS)
                                        .uses(range_use::addr_len)
                                        .file_each_adapter()
                                        .prepares(prepare)
                                        .runs(run)
                                        .says(text)
                                        .keys(keys);
