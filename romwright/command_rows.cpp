// The commands, one row each, and the functions of each row.
#include "romwright/command_rows.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/error.h"
#include "common/sha256.h"
#include "eeprom/backup.h"
#include "eeprom/image_digest.h"
#include "eeprom/journal.h"
#include "romwright/messages.h"
#include "romwright/vpd_render.h"

namespace {

// ---- preparations -----------------------------------------------------------

void check_size(const image_region& region, const image_file& f) {
    if (f.bytes().size() != region.size)
        throw failure(error_kind::failed,
                      strprintf("Error:  Size of binary file differs from the size of %s, expecting a file of size %d "
                                "bytes\n",
                                region.area, static_cast<int>(region.size)));
}

image_region region_of(const request& rq) { return image_region_of(rq.type, rq.first, rq.size); }

// write and verify: the image file named by the argument, read once.  One
// byte more than -len asks for is read, so that a longer file shows as too
// long.
std::unique_ptr<image_file> read_image(const request& rq, image_file::use how, observer& obs) {
    if (!rq.file_given)
        throw failure(error_kind::usage,
                      strprintf("ERROR: '%s' names no image file: give -f:<file>, -fvpd:<file> or -finit:<file>\n",
                                rq.command->word));
    std::unique_ptr<image_file> f = image_file::open(rq.file, how, rq.size, obs);
    check_size(region_of(rq), *f);
    return f;
}

// The list of approved digests that applies: -approved FILE, else the
// site's when it exists.  A list that cannot be read or has a malformed
// line is a command-line error.
std::optional<approved_list> approved_images(const request& rq, const site& where) {
    std::string path = rq.approved_file;
    if (path.empty() && !where.approved_list.empty() && access(where.approved_list.c_str(), F_OK) == 0)
        path = where.approved_list;
    if (path.empty())
        return std::nullopt;
    return read_approved_list(path);
}

std::unique_ptr<image_file> prepare_write(const request& rq, const site& where, observer& obs) {
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

std::unique_ptr<image_file> prepare_verify(const request& rq, const site&, observer& obs) {
    return read_image(rq, image_file::use::read, obs);
}

std::unique_ptr<image_file> prepare_restore(const request& rq, const site&, observer& obs) {
    std::unique_ptr<image_file> f = image_file::open(rq.file, image_file::use::read, SEEPROM_SIZE, obs);
    check_size(WHOLE_EEPROM_IMAGE, *f);
    return f;
}

}  // namespace

std::vector<kept_path> kept_paths(const site& where, const request& rq) {
    std::vector<kept_path> kept = {
        {where.lock_dir, "a file of the adapter lock folder", true, ""},
        {where.backup_dir, "a file of the backup folder", true, ""},
        {where.journal_dir, "a journal of a change in progress", true, ".journal"},
        {where.history_file, "the history file", false, ""},
        {where.approved_list, "the list of approved images", false, ""},
        {rq.approved_file, "the list of approved images", false, ""},
        {rq.change.backup_file, "the backup file", false, ""},
    };
    for (const platform_file& f : where.platform_files)
        kept.push_back({f.path, f.name, false, ""});
    if (rq.command->argument == word_argument::image || rq.command == find_command("restore"))
        kept.push_back({rq.file, "the image file", false, ""});
    for (const request::board_info_word& b : rq.board_info_files)
        kept.push_back({b.file, "a board-info file", false, ""});
    return kept;
}

void check_read_file(const std::string& file, const site& where, const request& rq) {
    if (!file.empty() && file[0] == '-')
        throw failure(error_kind::failed, "ERROR: Invalid filename specified\n");
    const std::string what = platform_file_named(where, file);
    if (!what.empty())
        throw failure(error_kind::failed, strprintf("ERROR: %s is %s: reading the EEPROM into it would destroy it; "
                                                    "name another file\n",
                                                    file.c_str(), what.c_str()));
    check_output_path(file, "the output file", kept_paths(where, rq));
}

namespace {

std::unique_ptr<image_file> prepare_read(const request& rq, const site& where, observer&) {
    check_read_file(rq.file, where, rq);
    return nullptr;
}

// ---- spans beyond the range -------------------------------------------------

// A whole image is the range itself; a VPD or init image has its own span.
std::optional<eeprom_span> image_span(const request& rq) {
    if (rq.type == image_type::full)
        return std::nullopt;
    const image_region r = region_of(rq);
    return eeprom_span{r.name, r.first, r.size};
}

std::optional<eeprom_span> init_region_span(const request& rq) {
    return eeprom_span{"Init region", rq.first, INIT_REGION_SIZE};
}

// ---- runs -------------------------------------------------------------------

void run_dump(command_context& c, run_outcome& o) { o.output = read_range(*c.session, c.rq.first, c.rq.size); }

void run_read(command_context& c, run_outcome& o) {
    o.output = save_range(*c.session, c.rq.first, c.rq.size, c.rq.file, kept_paths(c.where, c.rq));
}

void run_verify(command_context& c, run_outcome& o) {
    verify_result& r = o.output.emplace<verify_result>();
    verify_image(*c.session, *c.image, region_of(c.rq), c.rq.type == image_type::init ? "(init)" : "", c.rq.first, r);
}

void run_vpd(command_context& c, run_outcome& o) { o.output = read_vpd_copies(*c.session); }

void run_list(command_context& c, run_outcome& o) { o.output = list_adapters(c.host, c.where, c.obs); }

// A change: the row's plan applied as one transaction.
void change(command_context& c, run_outcome& o, std::string words, change_kind kind, const change_planner& plan) {
    const change_request cr{std::move(words), kind, c.rq.file, c.rq.change, c.image, o.interrupted, c.rq.words};
    change_result& r = o.output.emplace<change_result>();
    if (c.image)
        r.image_digest = image_digest(c.image->bytes());
    run_change(*c.session, cr,
               [&](std::vector<uint8_t> before, const plan_place& at) {
                   change_plan p = plan(std::move(before), at);
                   o.eeprom_before = p.before;
                   o.eeprom_planned = p.after;
                   return p;
               },
               r);
}

// ---- history ----------------------------------------------------------------

json_value image_record(const image_file* image, const change_result* r) {
    if (!image)
        return nullptr;
    return {{"path", absolute_path(image->path())},
            {"sha256", sha256_hex(image->bytes())},
            {"digest", r && r->image_digest ? json_value(*r->image_digest) : json_value(image_digest(image->bytes()))}};
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

// The record of a change run that reached the adapter.
json_value change_record(adapter_session& s, const request& rq, const image_file* image, const run_outcome& o,
                         int64_t started) {
    const change_result* r = std::get_if<change_result>(&o.output);
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
    rec["image"] = image_record(image, r);
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

// A warning of the run: on standard error, and in its document.
void warn(adapter_session& s, run_outcome& o, const std::string& warning) {
    s.obs().note(warning);
    o.warnings.push_back(without_trailing_newlines(warning));
}

// Appends record to the history; false (and a warning) when it was not
// written.
bool note_history(adapter_session& s, run_outcome& o, const json_value& record) {
    // The journal takes the record whatever became of the file's copy; where
    // none runs, the send fails and nothing else happens.
    if (s.where().history_journal)
        s.where().history_journal(journal_fields(record));
    const std::string warning = append_history(s.where().history_file, record);
    if (!warning.empty())
        warn(s, o, warning);
    return warning.empty();
}

// When the journal of the change that record tells of still stands, notes
// in it that record was written: no later run records that change again.
void note_recorded(adapter_session& s, run_outcome& o, const std::string& journal_id, const json_value& record) {
    try {
        mark_journal_recorded(s.where(), s.function(), journal_id, record["id"].get<std::string>());
    } catch (const failure& f) {
        warn(s, o, "romwright: warning: " + message_of(f) + "; a later run may record the change again\n");
    }
}

const char* image_argument(image_type type) {
    return type == image_type::vpd ? "-fvpd:" : type == image_type::init ? "-finit:" : "-f:";
}

void run_write(command_context& c, run_outcome& o) {
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
    change(c, o, std::string("write ") + image_argument(rq.type) + rq.file,
           rq.type == image_type::init ? change_kind::write_init : change_kind::write_identity,
           [&](std::vector<uint8_t> before, const plan_place& at) {
               change_plan p = plan_write(std::move(before), w, at);
               if (!p.forced.empty()) {
                   std::get<change_result>(o.output).forced = true;
                   for (const change_refusal& f : p.forced)
                       c.obs.note(forced_image_note(f));
               }
               return p;
           });
}

void run_restore(command_context& c, run_outcome& o) {
    const std::vector<uint8_t>& image = c.image->bytes();
    const bool changed_only = c.rq.change.changed_only;
    change(c, o, "restore " + c.rq.file, change_kind::restore, [&](std::vector<uint8_t> before, const plan_place&) {
        return plan_restore(std::move(before), image, changed_only);
    });
}

void run_clearinit(command_context& c, run_outcome& o) {
    const uint32_t first = c.rq.first;
    change(c, o, "clearinit", change_kind::clear,
           [&](std::vector<uint8_t> before, const plan_place&) { return plan_clear_init(std::move(before), first); });
}

void run_clearvpd(command_context& c, run_outcome& o) {
    change(c, o, "clearvpd", change_kind::clear,
           [](std::vector<uint8_t> before, const plan_place&) { return plan_clear_vpd(std::move(before)); });
}

void run_repair(command_context& c, run_outcome& o) {
    change(c, o, "repair", change_kind::repair,
           [](std::vector<uint8_t> before, const plan_place& at) { return plan_repair(std::move(before), at); });
}

// ---- verdicts ---------------------------------------------------------------

void done(run_outcome&) {}

void verify_verdict(run_outcome& o) {
    if (!std::get<verify_result>(o.output).passed)
        o.kind = error_kind::failed;
}

// While a journal stands, the copies may look whole and still be half-written.
void vpd_verdict(run_outcome& o) {
    if (o.interrupted || !std::get<vpd_report>(o.output).all_good())
        o.kind = error_kind::failed;
}

void change_verdict(run_outcome& o) {
    const change_result& r = std::get<change_result>(o.output);
    if (r.refusal) {
        o.kind = error_kind::refused;
        o.error = refusal_text(*r.refusal);
    }
}

void run_history(command_context& c, run_outcome& o) {
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

void list_verdict(run_outcome& o) {
    if (std::get<list_result>(o.output).adapters.empty())
        o.kind = error_kind::failed;
}

// ---- text -------------------------------------------------------------------

std::string no_text(const request&, const run_outcome&) { return ""; }

std::string dump_text(const request&, const run_outcome& o) {
    const dump_result& r = std::get<dump_result>(o.output);
    return render_dump(r.bytes.data(), r.start, r.start + static_cast<uint32_t>(r.bytes.size()));
}

std::string read_text(const request& rq, const run_outcome&) {
    return strprintf("Wrote those bytes to binary file %s\n", rq.file.c_str());
}

std::string vpd_text(const request&, const run_outcome& o) {
    return render_vpd_report_text(std::get<vpd_report>(o.output));
}

std::string list_text(const request&, const run_outcome& o) {
    return render_list_text(std::get<list_result>(o.output));
}

std::string history_text(const request&, const run_outcome& o) {
    std::string t;
    for (const json_value& r : std::get<history_result>(o.output).records)
        t += history_line(r);
    return t;
}

std::string change_text(const request& rq, const run_outcome& o) {
    const change_result& r = std::get<change_result>(o.output);
    return r.plan ? plan_text(rq.command->word, o.adapter, r) : "";
}

std::string repair_text(const request& rq, const run_outcome& o) {
    const change_result& r = std::get<change_result>(o.output);
    if (r.plan)
        return plan_text(rq.command->word, o.adapter, r);
    if (r.repairs.empty())
        return strprintf("Nothing to repair: all %d VPD copies are good and hold one identity\n", VPD_COPIES_IN_IMAGE);
    return strprintf("Repaired %zu of %d VPD copies: %u word%s written\n", r.repairs.size(), VPD_COPIES_IN_IMAGE,
                     r.words_written, r.words_written == 1 ? "" : "s");
}

// ---- JSON -------------------------------------------------------------------

void put_interrupted(json_value& doc, const run_outcome& o) {
    if (o.interrupted)
        doc["interrupted"] = interrupted_json(*o.interrupted);
}

// The result of o, or the empty one when the run ended before it had one.
template <typename Result>
const Result& result_or_empty(const run_outcome& o) {
    static const Result empty{};
    const Result* r = std::get_if<Result>(&o.output);
    return r ? *r : empty;
}

void dump_json(json_value& doc, const request&, const run_outcome& o) {
    put_interrupted(doc, o);
    const dump_result* r = std::get_if<dump_result>(&o.output);
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

void read_json(json_value& doc, const request&, const run_outcome& o) {
    put_interrupted(doc, o);
    if (const read_result* r = std::get_if<read_result>(&o.output)) {
        doc["file"] = r->file;
        doc["size"] = r->size;
        doc["sha256"] = r->sha256;
    }
}

void verify_json(json_value& doc, const request&, const run_outcome& o) {
    put_interrupted(doc, o);
    const verify_result& r = result_or_empty<verify_result>(o);
    json_value mismatches = json_value::array();
    for (const word_mismatch& m : r.mismatches)
        mismatches.push_back({{"address", m.address}, {"expected", m.file}, {"found", m.eeprom}});
    doc["passed"] = r.passed;
    doc["mismatches"] = mismatches;
}

void change_json(json_value& doc, const request&, const run_outcome& o) {
    put_interrupted(doc, o);
    const change_result& r = result_or_empty<change_result>(o);
    doc["changed"] = r.changed;
    doc["words_written"] = r.words_written;
    doc["backup"] = r.backup ? json_value(*r.backup) : json_value(nullptr);
    doc["identity_before"] = identity_json(r.identity_before);
    doc["identity_after"] = identity_json(r.identity_after);
    if (r.plan)
        doc["plan"] = plan_json(*r.plan);
    if (r.image_digest)
        doc["image_digest"] = *r.image_digest;
}

void write_json(json_value& doc, const request& rq, const run_outcome& o) {
    change_json(doc, rq, o);
    doc["forced"] = result_or_empty<change_result>(o).forced;
}

void repair_json(json_value& doc, const request& rq, const run_outcome& o) {
    change_json(doc, rq, o);
    doc["repairs"] = repairs_json(result_or_empty<change_result>(o).repairs);
}

// The document vpd has always given, with the interruption when one stands.
void vpd_json(json_value& doc, const request&, const run_outcome& o) {
    if (const vpd_report* r = std::get_if<vpd_report>(&o.output)) {
        const json_value report = vpd_report_json(*r);
        for (const auto& item : report.items())
            doc[item.key()] = item.value();
    }
    put_interrupted(doc, o);
}

void history_json(json_value& doc, const request&, const run_outcome& o) {
    json_value records = json_value::array();
    for (const json_value& r : result_or_empty<history_result>(o).records)
        records.push_back(r);
    doc["records"] = records;
    const std::vector<std::string>& warnings = result_or_empty<history_result>(o).warnings;
    if (!warnings.empty())
        doc["warnings"] = warnings;
}

void list_keys(json_value& doc, const request&, const run_outcome& o) {
    doc["adapters"] = list_json(result_or_empty<list_result>(o));
}

constexpr unsigned ON_ADAPTER = NEEDS_ADAPTER;
constexpr unsigned CHANGE = NEEDS_ADAPTER | CHANGES_EEPROM;

// The options of the commands on an adapter, and of those that change it.
constexpr unsigned ADAPTER_OPTIONS = TAKES_B | TAKES_JSON;
constexpr unsigned RANGE_OPTIONS = TAKES_ADDR | TAKES_LEN;
constexpr unsigned CHANGE_OPTIONS = ADAPTER_OPTIONS | TAKES_BACKUP | TAKES_PLAN;

}  // namespace

// word, argument, image usage, help lines, range, flags,
// span, preparation, run, verdict, text, JSON, options
const command_row k_command_rows[] = {
    {"dump", word_argument::none, nullptr, {{"dump", "print the range -addr, -len as a hex dump"}},
     range_use::addr_len, ON_ADAPTER,
     nullptr, nullptr, run_dump, done, dump_text, dump_json, ADAPTER_OPTIONS | RANGE_OPTIONS},
    {"read", word_argument::file, nullptr, {{"read FILE", "save the range into FILE"}},
     range_use::addr_len, ON_ADAPTER | FILE_PER_ADAPTER,
     nullptr, prepare_read, run_read, done, read_text, read_json, ADAPTER_OPTIONS | RANGE_OPTIONS},
    {"write", word_argument::image, "'write' requires an argument '-f_filetype_:<filename>'",
     {{"write -f:FILE", "write a whole-EEPROM image; the board keeps its identity"},
      {"write -fvpd:FILE", "write a VPD-only image; the board keeps its identity"},
      {"write -finit:FILE", "write an init-region image"}},
     range_use::addr_len, CHANGE,
     image_span, prepare_write, run_write, change_verdict, change_text, write_json,
     CHANGE_OPTIONS | RANGE_OPTIONS | TAKES_CHANGED_OPTION | TAKES_FORCE_IMAGE | TAKES_APPROVED},
    {"verify", word_argument::image, "", {{"verify -f:FILE", "compare an image with the EEPROM (also -fvpd:, -finit:)"}},
     range_use::addr_len, ON_ADAPTER,
     image_span, prepare_verify, run_verify, verify_verdict, no_text, verify_json, ADAPTER_OPTIONS | RANGE_OPTIONS},
    {"restore", word_argument::file, nullptr, {{"restore FILE", "put a saved whole-EEPROM image back as it is"}},
     range_use::none, CHANGE,
     nullptr, prepare_restore, run_restore, change_verdict, change_text, change_json,
     CHANGE_OPTIONS | TAKES_CHANGED_OPTION | TAKES_FORCE_IDENTITY},
    {"clearinit", word_argument::none, nullptr, {{"clearinit", "fill the 1024 bytes from -addr (default 0) with 0xFF"}},
     range_use::addr, CHANGE,
     init_region_span, nullptr, run_clearinit, change_verdict, change_text, change_json,
     CHANGE_OPTIONS | RANGE_OPTIONS},  // -len: taken as ever, though the region is always 1024 bytes
    {"clearvpd", word_argument::none, nullptr, {{"clearvpd", "fill 0x0400-0x43FF with 0xFF (erases the identity)"}},
     range_use::none, CHANGE,
     nullptr, nullptr, run_clearvpd, change_verdict, change_text, change_json, CHANGE_OPTIONS},
    {"vpd", word_argument::none, nullptr, {{"vpd", "check the 14 VPD copies and whether they agree"}},
     range_use::none, ON_ADAPTER | REPORTS_IDENTITY,
     nullptr, nullptr, run_vpd, vpd_verdict, vpd_text, vpd_json, ADAPTER_OPTIONS | TAKES_PROMETHEUS},
    {"repair", word_argument::none, nullptr, {{"repair", "rewrite bad VPD copies from the agreeing good ones"}},
     range_use::none, CHANGE,
     nullptr, nullptr, run_repair, change_verdict, repair_text, repair_json, CHANGE_OPTIONS},
    {"list", word_argument::none, nullptr, {{"list", "list the adapters (needs no -b)"}},
     range_use::none, 0,
     nullptr, nullptr, run_list, list_verdict, list_text, list_keys, TAKES_JSON},
    {"history", word_argument::none, nullptr, {{"history", "the changes recorded of -b's boards (of every board without -b)"}},
     range_use::none, 0,
     nullptr, nullptr, run_history, done, history_text, history_json, TAKES_B | TAKES_JSON},
    {nullptr, word_argument::none, nullptr, {}, range_use::none, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, 0},
};

const command_row* default_command() { return &k_command_rows[0]; }

const command_row* find_command(const char* word) {
    for (const command_row* r = k_command_rows; r->word; ++r)
        if (std::strcmp(r->word, word) == 0)
            return r;
    return nullptr;
}

std::string commands_taking(unsigned option) {
    std::vector<const char*> words;
    for (const command_row* r = k_command_rows; r->word; ++r)
        if (r->takes(option))
            words.push_back(r->word);
    std::string text;
    for (size_t i = 0; i < words.size(); ++i)
        text += std::string(i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return text;
}

void check_request(const request& rq) {
    if (rq.addresses.empty() && !rq.all_adapters)
        throw failure(error_kind::failed, "Please specify the bus:device:function number using -b option\n");
    const command_row& row = *rq.command;
    if (row.range == range_use::addr_len && uint64_t{rq.first} + rq.size > SEEPROM_SIZE)
        throw failure(error_kind::failed, strprintf("Error: -addr 0x%x + -len 0x%x must be <= 0x%x\n", rq.first,
                                                    rq.size, SEEPROM_SIZE));
    if (row.range != range_use::none && rq.first % 4 != 0)
        throw failure(error_kind::failed, strprintf("Error: -addr 0x%x must be multiple of 4\n", rq.first));
    if (!row.span)
        return;
    if (const std::optional<eeprom_span> s = row.span(rq); s && uint64_t{s->first} + s->size > SEEPROM_SIZE)
        throw failure(error_kind::failed, strprintf("Error: %s at 0x%x + 0x%x must end at or below 0x%x\n", s->name,
                                                    s->first, s->size, SEEPROM_SIZE));
}

std::unique_ptr<image_file> prepare_command(const request& rq, const site& where, observer& obs) {
    const command_row& row = *rq.command;
    if (!rq.prometheus_file.empty() && !rq.metrics_to_stdout())
        check_output_path(rq.prometheus_file, "the metrics file", kept_paths(where, rq));
    if (row.changes_eeprom() && !rq.change.plan_only)
        check_backup_file(rq.change);
    return row.prepare ? row.prepare(rq, where, obs) : nullptr;
}

void run_on_session(adapter_session& s, const request& rq, image_file* image, run_outcome& o) {
    o.adapter = s.address();
    o.opened = true;
    o.interrupted = standing_journal(s);
    // The signal a hold deferred is the run's, however it ends.
    struct take_signal {
        adapter_session& s;
        run_outcome& o;
        ~take_signal() { o.signal = s.deferred_signal(); }
    } take{s, o};
    if (o.interrupted && !s.where().history_file.empty())
        if (const std::optional<json_value> rec = interrupted_record(s.where().history_file, *o.interrupted,
                                                                     s.function()))
            if (note_history(s, o, *rec))
                note_recorded(s, o, o.interrupted->id, *rec);
    command_context ctx{s.host(), s.where(), rq, s.obs(), &s, image};
    // A change that reached the adapter leaves a record, however it ends:
    // with the signal that arrived meanwhile, and, when its journal stands
    // (it did not finish), noted there as recorded.
    const bool recorded = rq.command->changes_eeprom() && !rq.change.plan_only && !s.where().history_file.empty();
    const int64_t started = s.seconds();
    auto record = [&] {
        o.signal = s.deferred_signal();
        const json_value rec = change_record(s, rq, image, o, started);
        const change_result* r = std::get_if<change_result>(&o.output);
        if (note_history(s, o, rec) && r && !r->journal_id.empty())
            note_recorded(s, o, r->journal_id, rec);
    };
    try {
        rq.command->run(ctx, o);
        rq.command->verdict(o);
    } catch (const failure& f) {
        if (recorded) {
            note_failure(o, f);
            record();
        }
        throw;
    }
    if (recorded)
        record();
}

void run_on_host(platform& p, const site& where, const request& rq, observer& obs, run_outcome& o) {
    command_context ctx{p, where, rq, obs, nullptr, nullptr};
    rq.command->run(ctx, o);
    rq.command->verdict(o);
}

void note_failure(run_outcome& o, const failure& f) {
    o.kind = f.kind();
    o.error = message_of(f);
    o.facts = f.facts();
    o.error_shown = f.shown();
}

std::string outcome_text(const request& rq, const run_outcome& o) {
    if (!o.error.empty())
        return o.error_shown ? "" : o.error;
    if (std::holds_alternative<std::monostate>(o.output))
        return "";  // no result to show
    return rq.command->text(rq, o);
}

json_value outcome_json(const request& rq, const run_outcome& o) {
    const command_row& row = *rq.command;
    json_value doc = json_value::object();
    if (row.needs_adapter()) {
        doc["command"] = row.word;
        doc["adapter"] = o.adapter.empty() ? json_value(nullptr) : json_value(o.adapter);
    }
    row.json(doc, rq, o);
    if (!o.error.empty())
        doc["error"] = without_trailing_newlines(o.error);
    for (const failure::fact& f : o.facts)
        if (!doc.contains(f.first))
            doc[f.first] = f.second;
    if (row.changes_eeprom() && !o.warnings.empty())
        doc["warnings"] = o.warnings;
    if (o.signal)
        doc["signal"] = deferred_signal_name(o.signal);
    doc["status"] = o.status();
    return doc;
}
