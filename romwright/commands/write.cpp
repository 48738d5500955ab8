// write -f:FILE (-fvpd:, -finit:): an image written, the board keeping its
// identity.
#include <unistd.h>

#include <algorithm>

#include "eeprom/image_digest.h"
#include "romwright/commands/shared.h"

namespace {

struct write_result : change_result {
    std::string image_digest;  // the image's, as the run found it
};

// The list of approved digests that applies: -approved FILE, else the
// site's when it exists and lists a digest.  The packages install the
// site's list holding comments only: until a digest is put in it, it
// approves no image and refuses none.  -approved FILE applies whatever it
// holds.  A list that cannot be read or has a malformed line is a
// command-line error.
std::optional<approved_list> approved_images(const request& rq, const site& where) {
    if (!rq.approved_file.empty())
        return read_approved_list(rq.approved_file);
    if (where.approved_list.empty() || access(where.approved_list.c_str(), F_OK) != 0)
        return std::nullopt;
    approved_list site_list = read_approved_list(where.approved_list);
    if (site_list.digests.empty())
        return std::nullopt;
    return site_list;
}

std::unique_ptr<image_file> prepare(const request& rq, const site& where, observer& obs) {
    const std::optional<approved_list> approved = approved_images(rq, where);
    // Locked for the run when the plan will give it the board's identity.
    const bool update = image_file_takes_identity(rq.type, rq.change.plan_only, rq.several());
    if (update) {
        std::vector<kept_path> kept = kept_paths(where, rq);
        kept.erase(std::remove_if(kept.begin(), kept.end(), [&](const kept_path& k) { return k.path == rq.file; }),
                   kept.end());
        const std::string own = kept_path_named(rq.file, kept);
        if (!own.empty())
            throw failure(error_kind::failed,
                          strprintf("ERROR: %s is %s: the board's identity would be written into it; nothing was "
                                    "changed (copy the image to a file of its own)\n",
                                    rq.file.c_str(), own.c_str()));
    }
    std::unique_ptr<image_file> f = read_image(rq, update ? image_file::use::update : image_file::use::read, obs);
    if (approved) {
        const std::string digest = image_digest(f->bytes());
        if (!approved->lists(digest))
            throw failure(error_kind::refused,
                          strprintf("ERROR: %s is not an approved image: its digest %s is not on the list of approved "
                                    "images; nothing was changed\n",
                                    rq.file.c_str(), digest.c_str()))
                .with_fact("image_digest", digest);
    }
    return f;
}

const char* image_argument(image_type type) {
    return type == image_type::vpd ? "-fvpd:" : type == image_type::init ? "-finit:" : "-f:";
}

void run(command_context& c, run_outcome& o) {
    const request& rq = c.rq;
    write_spec w;
    w.type = rq.type;
    w.region = region_of(rq);
    w.image = &c.image->bytes();
    w.file = rq.file;
    w.shown_start = rq.first;
    w.changed_only = rq.change.changed_only;
    w.plan_only = rq.change.plan_only;
    w.several = rq.several();
    w.force_image = rq.force_image;
    change_rules_use rules;
    rules.keeps_identity = true;
    rules.takes_identity = rq.type != image_type::init;  // -f, -fvpd carry the board's identity into the image
    write_result& r = o.output.emplace<write_result>();
    r.image_digest = image_digest(c.image->bytes());
    const change_request cr =
        change_request_of(c, o, std::string("write ") + image_argument(rq.type) + rq.file, rules);
    change(c, o, r, cr, write_extent(w), [&](std::vector<uint8_t> before, const plan_place& at) {
        change_plan p = plan_write(std::move(before), w, at);
        for (const change_refusal& f : p.forced)
            c.obs.note(forced_image_note(f));
        return p;
    });
}

void keys(json_value& doc, const request&, const run_outcome& o) {
    const write_result& r = result_or_empty<write_result>(o);
    change_json(doc, r, o);
    if (o.output.get<write_result>())
        doc["image_digest"] = r.image_digest;
    doc["forced"] = r.forced;
}

}  // namespace

extern const command_row write_row =
    command_row("write")
        .takes_image("'write' requires an argument '-f_filetype_:<filename>'")
        .helps("write -f:FILE", "write a whole-EEPROM image; the board keeps its identity")
        .helps("write -fvpd:FILE", "write a VPD-only image; the board keeps its identity")
        .helps("write -finit:FILE", "write an init-region image")
        .option_bits(CHANGE_OPTIONS | RANGE_OPTIONS | TAKES_CHANGED_OPTION | TAKES_FORCE_IMAGE | TAKES_APPROVED)
        .uses(range_use::addr_len)
        .spans(image_span)
        .prepares(prepare)
        .runs(run)
        .says(change_text)
        .keys(keys)
        .changes<write_result>();
