// What several commands' rows share.
#include "romwright/commands/shared.h"

#include "eeprom/backup.h"
#include "common/sha256.h"
#include "eeprom/image_digest.h"
#include "romwright/history.h"

image_region region_of(const request& rq) { return image_region_of(rq.type, rq.first, rq.size); }

std::optional<eeprom_span> image_span(const request& rq) {
    if (rq.type == image_type::full)
        return std::nullopt;
    const image_region r = region_of(rq);
    return eeprom_span{r.name, r.first, r.size};
}

void check_size(const image_region& region, const image_file& f) {
    if (f.bytes().size() != region.size)
        throw failure(error_kind::failed,
                      strprintf("Error:  Size of binary file differs from the size of %s, expecting a file of size %d "
                                "bytes\n",
                                region.area, static_cast<int>(region.size)));
}

// One byte more than -len asks for is read, so that a longer file shows as
// too long.
std::unique_ptr<image_file> read_image(const request& rq, image_file::use how, observer& obs) {
    if (!rq.file_given)
        throw failure(error_kind::usage,
                      strprintf("ERROR: '%s' names no image file: give -f:<file>, -fvpd:<file> or -finit:<file>\n",
                                rq.command->word));
    std::unique_ptr<image_file> f = image_file::open(rq.file, how, rq.size, obs);
    check_size(region_of(rq), *f);
    return f;
}

change_request change_request_of(const command_context& c, const run_outcome& o, std::string words,
                                 change_rules_use rules) {
    return change_request{std::move(words), rules, c.rq.file, c.rq.change, c.image, o.interrupted, c.rq.words};
}

void apply_planned(command_context& c, run_outcome& o, change_result& r, const change_request& cr, change_plan p,
                   double us_per_read) {
    o.eeprom_before = p.before;
    o.eeprom_planned = p.after;
    apply_change(*c.session, cr, std::move(p), us_per_read, r);
}

const change_result* change_of(const request& rq, const run_outcome& o) {
    return rq.command->change ? rq.command->change(o.output) : nullptr;
}

std::string change_text(const request& rq, const run_outcome& o) {
    const change_result* r = change_of(rq, o);
    if (!r || !r->plan)
        return "";
    if (o.outline)
        return plan_outline_text(rq.command->word, o.adapter, *r->plan, *o.outline);
    return plan_text(rq.command->word, o.adapter, *r);
}

void put_interrupted(json_value& doc, const run_outcome& o) {
    if (o.interrupted)
        doc["interrupted"] = interrupted_json(*o.interrupted);
}

void change_json(json_value& doc, const change_result& r, const run_outcome& o) {
    put_interrupted(doc, o);
    doc["changed"] = r.changed;
    doc["words_written"] = r.words_written;
    doc["backup"] = r.backup ? json_value(*r.backup) : json_value(nullptr);
    doc["identity_before"] = identity_json(r.identity_before);
    doc["identity_after"] = identity_json(r.identity_after);
    if (r.plan)
        doc["plan"] = plan_json(*r.plan);
    if (const std::optional<outline_view>& v = o.outline) {
        doc["via"] = "kernel";
        doc["copies_read"] = v->copy0_state ? 1 : 0;
        doc["vpd_file"] = v->vpd_file;
        doc["copy0"] = v->copy0_state ? json_value{{"state", v->copy0_state},
                                                   {"identity", identity_json(v->copy0_identity)}}
                                      : json_value(nullptr);
        if (!v->copy0_state)
            doc["reason"] = v->unread;
    }
}

namespace {

json_value image_record(const image_file* image, const std::string& digest) {
    if (!image)
        return nullptr;
    return {{"path", absolute_path(image->path())}, {"sha256", sha256_hex(image->bytes())}, {"digest", digest}};
}

const char* outcome_word(const run_outcome& o) {
    switch (o.kind) {
    case error_kind::none:
        return "done";
    case error_kind::refused:
        return "refused";
    default:
        return "failed";
    }
}

}  // namespace

json_value change_record(adapter_session& s, const request& rq, const image_file* image,
                         const std::string& image_digest, const run_outcome& o, int64_t started) {
    const change_result* r = change_of(rq, o);
    json_value rec = history_record_base();
    rec["adapter"] = s.address();
    rec["vendor_id"] = strprintf("0x%04x", s.function().vendor_id);
    rec["device_id"] = strprintf("0x%04x", s.function().device_id);
    rec["command"] = rq.command->word;
    json_value words = json_value::array();
    for (const std::string& w : rq.words)
        words.push_back(w);
    rec["words"] = words;
    rec["started"] = utc_time_text(started);
    rec["ended"] = utc_time_text(s.seconds());
    rec["outcome"] = outcome_word(o);
    rec["status"] = o.status();
    rec["signal"] = o.signal ? json_value(deferred_signal_name(o.signal)) : json_value(nullptr);
    const std::string error = without_trailing_newlines(o.error);
    rec["error"] = error.empty() ? json_value(nullptr) : json_value(error);
    rec["image"] = image_record(image, image_digest);
    rec["forced"] = r && r->forced;
    const bool kept = o.kind == error_kind::refused || (r && !r->changed && o.kind == error_kind::none &&
                                                        r->words_written == 0);
    rec["before"] = o.eeprom_before.empty() ? json_value(nullptr) : eeprom_state_json(o.eeprom_before);
    // After: as planned once the change finished, as read when nothing was
    // written; after a failure as the words read back leave it, unknown
    // (null) when a word went unanswered.
    if (o.kind == error_kind::none && !o.eeprom_planned.empty())
        rec["after"] = eeprom_state_json(o.eeprom_planned);
    else if (kept && !o.eeprom_before.empty())
        rec["after"] = eeprom_state_json(o.eeprom_before);
    else if (r && !r->known_after.empty())
        rec["after"] = eeprom_state_json(r->known_after);
    else
        rec["after"] = nullptr;
    rec["words_written"] = r ? r->words_written : 0;
    rec["backup"] = r && r->backup ? json_value(*r->backup) : json_value(nullptr);
    return rec;
}
