// The list of the commands' rows, and what every command's run goes
// through: the checks before an adapter is touched, the run on a session
// with its history record, and the finished run's text and document.  Each
// command's row and functions are in romwright/commands/.
#include "romwright/command_rows.h"

#include <algorithm>
#include <cstring>

#include "common/error.h"
#include "eeprom/backup.h"
#include "eeprom/image_digest.h"
#include "eeprom/journal.h"
#include "romwright/commands/shared.h"
#include "romwright/history.h"
#include "romwright/messages.h"

extern const command_row dump_row, read_row, write_row, verify_row, restore_row, clearinit_row, clearvpd_row,
    vpd_row, repair_row, list_row, history_row;

const std::vector<const command_row*>& command_rows() {
    static const std::vector<const command_row*> rows = {&dump_row,      &read_row,     &write_row, &verify_row,
                                                         &restore_row,   &clearinit_row, &clearvpd_row, &vpd_row,
                                                         &repair_row,    &list_row,      &history_row};
    return rows;
}

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
    if (rq.command->argument == word_argument::image || rq.command == &restore_row)
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

}  // namespace

const command_row* default_command() { return &dump_row; }

const command_row* find_command(const char* word) {
    for (const command_row* r : command_rows())
        if (std::strcmp(r->word, word) == 0)
            return r;
    return nullptr;
}

std::string commands_taking(unsigned option) {
    std::vector<const char*> words;
    for (const command_row* r : command_rows())
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

namespace {

// The verdict on a finished run: a change's refusal, or the row's own.
void judge(const request& rq, run_outcome& o) {
    if (const change_result* r = change_of(rq, o); r && r->refusal) {
        o.kind = error_kind::refused;
        o.error = refusal_text(*r->refusal);
    }
    if (rq.command->verdict)
        rq.command->verdict(o);
}

}  // namespace

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
    const std::string digest = recorded && image ? image_digest(image->bytes()) : "";
    auto record = [&] {
        o.signal = s.deferred_signal();
        const json_value rec = change_record(s, rq, image, digest, o, started);
        const change_result* r = change_of(rq, o);
        if (note_history(s, o, rec) && r && !r->journal_id.empty())
            note_recorded(s, o, r->journal_id, rec);
    };
    try {
        rq.command->run(ctx, o);
        judge(rq, o);
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
    judge(rq, o);
}

void note_failure(run_outcome& o, const failure& f) {
    o.kind = f.kind();
    o.error = message_of(f);
    o.facts = f.facts();
    o.error_shown = f.shown();
}

std::string outcome_text(const request& rq, const run_outcome& o) {
    if (!o.error.empty()) {
        const std::string result = o.outline && rq.command->text ? rq.command->text(rq, o) : "";
        return result + (o.error_shown ? "" : o.error);
    }
    if (o.output.empty() || !rq.command->text)
        return "";  // no result to show
    return rq.command->text(rq, o);
}

json_value outcome_json(const request& rq, const run_outcome& o) {
    const command_row& row = *rq.command;
    json_value doc = {{"schema_version", JSON_SCHEMA_VERSION}};
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
