// Rendering a run: text as the commands have always shown it, or JSON.
#include "romwright/render.h"

#include <cstdio>
#include <cstring>

#include "common/error.h"
#include "common/escaping.h"
#include "eeprom/backup.h"
#include "eeprom/vpd.h"
#include "romwright/messages.h"
#include "romwright/progress_bar.h"

namespace {

struct text_sink {
    virtual ~text_sink() = default;
    virtual void write(const std::string& text, bool flush) = 0;
    virtual void note(const std::string& text) = 0;
};

// Where a text observer's output goes: standard output as it is, or, for
// one of several adapters, whole lines prefixed with the adapter's address.
class stdout_sink : public text_sink {
public:
    explicit stdout_sink(FILE* out) : out_(out) {}
    void write(const std::string& text, bool flush) override {
        std::fwrite(text.data(), 1, text.size(), out_);
        if (flush)
            std::fflush(out_);
    }
    void note(const std::string& text) override { std::fputs(text.c_str(), stderr); }

private:
    FILE* out_;
};

// Lines of several adapters never mix: each goes out whole under the run's
// one lock.
class prefix_sink : public text_sink {
public:
    prefix_sink(std::string prefix, std::mutex& lines, FILE* out)
        : prefix_(std::move(prefix)), lines_(lines), out_file_(out) {}
    ~prefix_sink() override {
        if (!out_.empty())
            write("\n", true);
    }
    void write(const std::string& text, bool) override { emit(out_, text, out_file_); }
    void note(const std::string& text) override { emit(err_, text, stderr); }

private:
    void emit(std::string& pending, const std::string& text, FILE* to) {
        pending += text;
        size_t start = 0;
        std::string whole;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
            whole += prefix_ + pending.substr(start, nl + 1 - start);
        pending.erase(0, start);
        if (whole.empty())
            return;
        std::lock_guard<std::mutex> guard(lines_);
        std::fputs(whole.c_str(), to);
        std::fflush(to);
    }
    std::string prefix_, out_, err_;
    std::mutex& lines_;
    FILE* out_file_;
};

// One adapter's row of the progress bar, when there is a bar.
class bar_row {
public:
    bar_row(progress_bar* bar, const std::string& label) : bar_(bar) {
        if (bar_)
            row_ = bar_->add_row(label);
    }
    // Called after every word: the bar itself is asked every 16th word
    // and at the end, so that a word costs no lock and no clock read.
    void update(uint32_t done, uint32_t total) {
        if (bar_ && ((done & 15) == 0 || done >= total))
            bar_->update(row_, done, total);
    }
    void hide() {
        if (bar_)
            bar_->hide();
    }

private:
    progress_bar* bar_;
    int row_ = 0;
};

class text_observer : public observer {
public:
    text_observer(std::unique_ptr<text_sink> sink, progress_bar* bar, const std::string& label)
        : sink_(std::move(sink)), bar_(bar, label) {}
    // The bar is drawn only below whole lines of the command's output.
    void words_done(uint32_t done, uint32_t total) override {
        if (line_start_)
            bar_.update(done, total);
    }
    void identity_used(const std::string& part, const std::string& serial, const std::string& mac) override {
        out("Using Part number(from Board)\t:" + printable_field(part) + "\n" +
            "Using Serial number(from Board)\t:" + printable_field(serial) + "\n" +
            "Using MAC address(from Board)\t:" + printable_field(mac) + "\n");
    }
    void eeprom_read(uint32_t bytes, uint32_t start) override {
        out(strprintf("Read 0x%x bytes from serial eeprom starting at address 0x%x.\n", bytes, start));
    }
    void image_read(uint32_t bytes, const std::string& path) override {
        out(strprintf("Read 0x%x bytes from file %s\n", bytes, path.c_str()));
    }
    void progress(uint32_t done, uint32_t total) override {
        flushed(strprintf("0x%x bytes of 0x%x written\n", done, total));
    }
    void mismatch(uint32_t address, uint32_t file, uint32_t eeprom) override {
        out(strprintf("Addr:0x%08x, Filedata:0x%08x != EEPROMData:0x%08x\n", address, file, eeprom));
    }
    void chip_reset(bool done) override {
        if (done)
            flushed("Done\n");
        else
            out("Doing full chip reset...");
    }
    void flashed(uint32_t start, bool changed_only, uint32_t words) override {
        out(strprintf("Wrote those bytes to serial eeprom starting at 0x%x\n", start));
        if (changed_only)
            out(strprintf("%u words differed from the EEPROM's contents and were written\n", words));
    }
    void verified(bool passed, const std::string& region, uint32_t start) override {
        if (passed)
            out(strprintf("Verifying bytes in serial eeprom%s starting at 0x%x\nVerification Result: PASSED\n",
                          region.c_str(), start));
        else
            out("Verification Result: FAILED\n");
    }
    void erase_started(const std::string& region, uint32_t start) override {
        flushed(strprintf("\nErasing %s with 0xff\nwriting to Offset 0x%x...", region.c_str(), start));
    }
    void erase_done(uint32_t bytes) override { out(strprintf("Wrote 0x%x bytes\n", bytes)); }
    void copy_repaired(int index, uint32_t address, const std::string& state, int from_index,
                       uint32_t from_address) override {
        out(strprintf("Copy %d at 0x%04x (%s) rewritten from copy %d at 0x%04x\n", index, address, state.c_str(),
                      from_index, from_address));
    }
    void failure_shown(const failure& f) override { flushed(message_of(f)); }
    void note(const std::string& text) override {
        bar_.hide();
        sink_->note(text);
    }
    void notify(const notice& n) override { note(notice_text(n)); }
    void text(const std::string& t) override { out(t); }

private:
    // Standard output is flushed only where a long transfer shows progress:
    // until then a reader that went away cannot end the run early.  The
    // bar leaves the screen before every line.
    void out(const std::string& t) { write(t, false); }
    void flushed(const std::string& t) { write(t, true); }
    void write(const std::string& t, bool flush) {
        if (t.empty())
            return;
        bar_.hide();
        sink_->write(t, flush);
        line_start_ = t.back() == '\n';
    }
    std::unique_ptr<text_sink> sink_;
    bar_row bar_;
    bool line_start_ = true;
};

class json_observer : public observer {
public:
    json_observer(std::unique_ptr<text_sink> sink, progress_bar* bar, const std::string& label)
        : sink_(std::move(sink)), bar_(bar, label) {}
    void words_done(uint32_t done, uint32_t total) override { bar_.update(done, total); }
    void failure_shown(const failure&) override {}  // the document's "error" carries it
    void note(const std::string& text) override {
        bar_.hide();
        sink_->note(text);
    }
    void notify(const notice& n) override { note(notice_text(n)); }

private:
    std::unique_ptr<text_sink> sink_;
    bar_row bar_;
};

std::string escaped(const std::string& s) {
    return vpd_escape(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
}

// One line per copy: its state and the identity it holds.
std::string copies_text(const std::vector<vpd_copy_state>& copies) {
    std::string out;
    for (const vpd_copy_state& c : copies) {
        out += strprintf("  copy %d at 0x%04x: %s", c.index, c.address, c.state);
        if (std::strcmp(c.state, "blank") != 0)
            out += ", serial number " + escaped(c.identity.serial_number) + ", MAC address " +
                   escaped(c.identity.mac_address);
        out += "\n";
    }
    return out;
}

std::string restore_hint(const std::string& address, const std::string& backup_dir) {
    return strprintf("To put back a saved image of this board exactly as it is: romwright -b %s restore FILE%s%s%s.\n",
                     address.c_str(), backup_dir.empty() ? "" : " (every run that changed the EEPROM saved a backup "
                                                                "first, in ",
                     backup_dir.c_str(), backup_dir.empty() ? "" : ")");
}

const char k_set_identity[] = "romwright-vpd set --pn PART --sn SERIAL --mac MAC IMAGE OUT";

// Why write cannot trust the board's identity.
std::string distrust_text(const change_refusal& r) {
    switch (r.untrusted) {
    case change_refusal::distrust::copy_not_good:
        for (const vpd_copy_state& c : r.copies)
            if (c.address == BOARD_DETAILS_ADDR)
                return strprintf("the VPD copy at EEPROM address 0x%04x, which the identity is taken from, is %s",
                                 BOARD_DETAILS_ADDR, c.state);
        break;
    case change_refusal::distrust::no_majority:
        return strprintf("no identity is held by more than half of the %d good VPD copies", r.good_copies);
    case change_refusal::distrust::copy_disagrees:
        break;
    }
    return strprintf("the VPD copy at EEPROM address 0x%04x holds another identity than most good copies",
                     BOARD_DETAILS_ADDR);
}

}  // namespace

std::string identity_text(const board_identity& id) {
    return "part number " + escaped(id.part_number) + ", serial number " + escaped(id.serial_number) +
           ", MAC address " + escaped(id.mac_address);
}

json_value identity_json(const std::optional<board_identity>& id) {
    if (!id)
        return nullptr;
    json_value out = json_value::object();
    put_identity_field(out, "part_number", id->part_number);
    put_identity_field(out, "serial_number", id->serial_number);
    put_identity_field(out, "mac_address", id->mac_address, true);
    return out;
}

json_value repairs_json(const std::vector<copy_repair>& repairs) {
    json_value out = json_value::array();
    for (const copy_repair& r : repairs)
        out.push_back({{"index", r.index},
                       {"address", r.address},
                       {"state", r.state},
                       {"from_index", r.from_index},
                       {"from_address", r.from_address}});
    return out;
}

json_value plan_json(const plan_summary& s) {
    json_value regions = json_value::array(), copies = json_value::array();
    for (const plan_summary::region& r : s.regions)
        regions.push_back({{"name", r.name}, {"first", r.first}, {"last", r.last}, {"words", r.words}});
    for (const plan_summary::copy_change& c : s.copies_changing)
        copies.push_back({{"index", c.index}, {"address", c.address}, {"before", c.before}, {"after", c.after}});
    // An outline knows neither: null, not "none".
    const bool known = s.whole_eeprom_read;
    return {{"words_to_write", s.words_to_write},
            {"words_in_range", s.words_in_range},
            {"regions", regions},
            {"copies_changing", known ? copies : json_value(nullptr)},
            {"repairs", known ? repairs_json(s.repairs) : json_value(nullptr)},
            {"projected_seconds", s.projected_seconds},
            {"whole_eeprom_read", s.whole_eeprom_read},
            {"at_most", s.at_most}};
}

json_value interrupted_json(const journal_record& r) {
    const std::string time = r.time ? utc_time_text(r.time) : "";
    return {{"command", r.command},
            {"time", time.empty() ? json_value(nullptr) : json_value(time)},
            {"backup", r.backup.empty() ? json_value(nullptr) : json_value(r.backup)},
            {"restore", r.backup.empty() ? json_value(nullptr) : json_value(restore_command(r.adapter, r.backup))}};
}

std::string plan_text(const char* command, const std::string& adapter, const change_result& r) {
    const plan_summary& s = *r.plan;
    std::string t = strprintf("Plan of %s on %s; nothing was changed:\n", command, adapter.c_str());
    t += strprintf("  words to write: %u of %u\n", s.words_to_write, s.words_in_range);
    for (const plan_summary::region& g : s.regions)
        t += strprintf("    %-13s 0x%04x-0x%04x: %u\n", g.name.c_str(), g.first, g.last, g.words);
    if (r.identity_before) {
        t += "  identity before: " + identity_text(*r.identity_before) + "\n";
        t += "  identity after:  " + identity_text(*r.identity_after) + "\n";
    }
    for (const copy_repair& c : s.repairs)
        t += strprintf("  copy %d at 0x%04x (%s) would be rewritten from copy %d at 0x%04x\n", c.index, c.address,
                       c.state.c_str(), c.from_index, c.from_address);
    if (s.copies_changing.empty())
        t += "  VPD copies changing state: none\n";
    for (const plan_summary::copy_change& c : s.copies_changing)
        t += strprintf("  VPD copy %d at 0x%04x: %s -> %s\n", c.index, c.address, c.before.c_str(), c.after.c_str());
    t += strprintf("  projected hardware time: %.1f s (%.0f ms per write cycle)\n", s.projected_seconds,
                   PLAN_WRITE_CYCLE_US / 1000);
    return t;
}

std::string plan_outline_text(const char* command, const std::string& adapter, const plan_summary& s,
                              const outline_view& v) {
    const char* at_most = s.at_most ? "at most " : "";
    std::string t = strprintf("Plan of %s on %s from the command's range alone, as %s and the EEPROM cannot be "
                              "read whole; nothing was changed:\n",
                              command, adapter.c_str(), v.why.c_str());
    t += strprintf("  words to write: %s%u of %u\n", at_most, s.words_to_write, s.words_in_range);
    for (const plan_summary::region& g : s.regions)
        t += strprintf("    %-13s 0x%04x-0x%04x: %s%u\n", g.name.c_str(), g.first, g.last, at_most, g.words);
    if (v.copy0_state)
        t += strprintf("  VPD copy 0, as the kernel's VPD file %s shows it: %s; %s\n", v.vpd_file.c_str(),
                       v.copy0_state, identity_text(v.copy0_identity).c_str());
    else
        t += strprintf("  VPD copy 0 not read: the kernel's VPD file %s says: %s\n", v.vpd_file.c_str(),
                       v.unread.c_str());
    t += strprintf("  not known without the whole EEPROM: VPD copies 1-%d, which copies would change state%s, and "
                   "whether the checks made before a change would refuse it\n",
                   VPD_COPIES_IN_IMAGE - 1, s.at_most ? ", which words differ (only those would be written)" : "");
    t += strprintf("  projected hardware time: %s%.1f s (%.0f ms per write cycle)\n", at_most, s.projected_seconds,
                   PLAN_WRITE_CYCLE_US / 1000);
    return t;
}

namespace {

// "1", "1 and 2", "1, 2 and 3"
std::string index_list(const std::vector<int>& indexes) {
    std::string out;
    for (size_t i = 0; i < indexes.size(); ++i)
        out += (i == 0 ? "" : i + 1 == indexes.size() ? " and " : ", ") + std::to_string(indexes[i]);
    return out;
}

// "its VPD copies 1 and 2 are faulty; copy 5 differs from the other copies
// in more than the identity"
std::string unlike_copies_text(const change_refusal& r) {
    std::vector<std::string> parts;
    for (const char* state : {"faulty", "blank"}) {
        std::vector<int> which;
        for (const vpd_copy_state& c : r.copies)
            if (std::strcmp(c.state, state) == 0)
                which.push_back(c.index);
        if (!which.empty())
            parts.push_back((which.size() == 1 ? "copy " : "copies ") + index_list(which) +
                            (which.size() == 1 ? " is " : " are ") + state);
    }
    if (!r.differing.empty())
        parts.push_back((r.differing.size() == 1 ? "copy " : "copies ") + index_list(r.differing) +
                        (r.differing.size() == 1 ? " differs" : " differ") +
                        " from the other copies in more than the identity");
    std::string out = "its VPD ";
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? "; " : "") + parts[i];
    return out;
}

std::string image_refusal_text(const change_refusal& r) {
    if (r.why == change_refusal::reason::image_not_whole)
        return "ERROR: " + r.file + " is not a whole image: with the board's identity put in, " +
               unlike_copies_text(r) + "; nothing was changed.\nGive -force-image to write it all the same.\n";
    const std::string board = "the board's ID string is \"" + r.board_id + "\"";
    return "ERROR: " + r.file + " is not an image of this board: " +
           (r.no_good_copy
                ? "it has no good VPD copy (" + board + ")"
                : board + ", the image's is \"" + r.image_id + "\"") +
           "; nothing was changed.\nGive -force-image to write it all the same.\n";
}

// "`write -f:img.bin`, begun 2027-01-15T08:00:00Z,"
std::string what_was_interrupted(const journal_record& j) {
    const std::string when = j.time ? utc_time_text(j.time) : "";
    return "`" + terminal_text(j.command) + "`, begun " + (when.empty() ? "at an unknown time" : when) + ",";
}

// The way back to the EEPROM as it was before the interrupted change.
std::string way_back(const change_refusal& r) {
    if (r.backup_exists)
        return "To put back what the EEPROM held before it: " + restore_command(r.address, r.journal->backup) + "\n";
    return std::string(r.journal->backup.empty() ? "That run kept no backup" : "The backup it names is gone") +
           "; restore a saved image of this board with: romwright -b " + r.address + " restore FILE\n";
}

// "MAC address (none: no NA keyword)", "serial number X".
std::string difference_text(const change_refusal::field_difference& d) {
    static const char* const names[] = {"part number", "serial number", "MAC address"};
    static const char* const keywords[] = {"PN", "SN", "NA"};
    return std::string(names[d.field]) + " " +
           (d.value ? escaped(*d.value) : std::string("(none: no ") + keywords[d.field] + " keyword)");
}

}  // namespace

std::string refusal_text(const change_refusal& r) {
    switch (r.why) {
    case change_refusal::reason::identity_broken:
        return strprintf("ERROR: the board's identity in its VPD copy at EEPROM address 0x%04x is blank or broken: "
                         "%s.\nWriting %s would carry it into the file and every VPD copy on the board, so nothing "
                         "was changed.\n",
                         BOARD_DETAILS_ADDR, r.broken ? identity_faults_text(*r.broken).c_str() : "",
                         r.file.c_str()) +
               restore_hint(r.address, r.backup_dir) + "To give a blank board an identity, prepare its image with: " +
               k_set_identity + "\n";
    case change_refusal::reason::identity_untrusted:
        return "ERROR: the board's identity cannot be trusted: " + distrust_text(r) + ".\nThe VPD copies:\n" +
               copies_text(r.copies) + "Writing " + r.file +
               " would carry that identity into the file and every VPD copy on the board, so nothing was changed.\n" +
               (r.majority ? "Put the copies right from the agreeing good ones first: romwright -b " + r.address +
                                 " repair\n"
                           : "romwright -b " + r.address + " repair needs most good copies to agree; " +
                                 restore_hint(r.address, ""));
    case change_refusal::reason::image_takes_no_identity:
        return strprintf("ERROR: %s cannot take the board's identity: %s; nothing was written to the file or the "
                         "EEPROM\n",
                         r.file.c_str(), r.cannot_take ? identity_take_fault_text(*r.cannot_take).c_str() : "");
    case change_refusal::reason::image_of_another_board:
    case change_refusal::reason::image_not_whole:
        return image_refusal_text(r);
    case change_refusal::reason::nothing_to_repair_from:
        break;
    case change_refusal::reason::journal_stands:
        return "ERROR: a change of this adapter did not finish: " + what_was_interrupted(*r.journal) +
               " so the EEPROM may be half-written and the identity it holds cannot be trusted; nothing was "
               "changed.\nIts journal: " +
               terminal_text(absolute_path(r.journal_path)) + "\n" + way_back(r) +
               (r.file.empty() ? ""
                               : "Only a write that finishes that change (the same image, to the same place) may run "
                                 "before that.\n");
    case change_refusal::reason::identity_would_change: {
        std::string lines;
        for (const change_refusal::copy_difference& c : r.differences) {
            lines += strprintf("  copy %d at 0x%04x would hold ", c.index, c.address);
            for (size_t k = 0; k < c.fields.size(); ++k)
                lines += (k == 0 ? "" : k + 1 == c.fields.size() ? " and " : ", ") + difference_text(c.fields[k]);
            lines += "\n";
        }
        return "ERROR: writing " + r.file + " would change the board's identity (" + identity_text(r.board) +
               "); nothing was changed.\nAfterwards:\n" + lines +
               "Each VPD copy of the image must carry the PN, SN and NA keywords where the board's copies carry them "
               "(offsets 22, 60 and 87 of the copy), so that the board's identity goes into it.\n";
    }
    case change_refusal::reason::interrupted_backup:
        return "ERROR: " + terminal_text(r.file) +
               " was saved while an interrupted change stood (its name holds _interrupted): it holds the EEPROM "
               "half-written, so restoring it would not undo " +
               what_was_interrupted(*r.journal) + " nothing was changed.\n" + way_back(r);
    case change_refusal::reason::backup_changed:
        return "ERROR: the backup " + terminal_text(r.file) + " no longer holds what it held when " +
               what_was_interrupted(*r.journal) + " saved it (SHA-256 " + r.sha256_then + " then, " + r.sha256_now +
               " now); nothing was changed.\nRestore another saved image of this board with: romwright -b " +
               r.address + " restore FILE\n";
    case change_refusal::reason::another_boards_identity:
        return "ERROR: " + terminal_text(r.file) + " holds the identity of another board (serial number " +
               escaped(r.other.serial_number) + ", MAC address " + escaped(r.other.mac_address) +
               "), not this board's (serial number " + escaped(r.board.serial_number) + ", MAC address " +
               escaped(r.board.mac_address) +
               "): restoring it would give two boards one identity; nothing was changed.\nTo put that identity on "
               "this board all the same (a replacement board, say), give -force-identity.\n";
    }
    return strprintf("ERROR: cannot repair the VPD copies: %s, so there is no identity to put right from; nothing was "
                     "changed.\nThe VPD copies:\n",
                     r.good_copies == 0
                         ? "no copy is good"
                         : strprintf("no identity is held by more than half of the %d good copies", r.good_copies)
                               .c_str()) +
           copies_text(r.copies) + restore_hint(r.address, r.backup_dir) +
           "To give the board an identity, prepare its image with: " + k_set_identity + ", then write it\n";
}

std::string forced_image_note(const change_refusal& r) {
    const std::string lead = "romwright: -force-image: writing " + r.file;
    if (r.why == change_refusal::reason::image_not_whole)
        return lead + ", which is not a whole image: " + unlike_copies_text(r) + "\n";
    if (r.no_good_copy)
        return lead + ", which has no good VPD copy (the board's ID string is \"" + r.board_id + "\")\n";
    return lead + ", whose ID string \"" + r.image_id + "\" is not the board's \"" + r.board_id + "\"\n";
}

std::unique_ptr<observer> make_text_observer(progress_bar* bar, FILE* out) {
    return std::make_unique<text_observer>(std::make_unique<stdout_sink>(out), bar, "");
}
std::unique_ptr<observer> make_json_observer(progress_bar* bar) {
    return std::make_unique<json_observer>(std::make_unique<stdout_sink>(stdout), bar, "");
}
std::unique_ptr<observer> make_prefixed_observer(const std::string& label, bool json, progress_bar* bar,
                                                 std::mutex& lines, FILE* out) {
    auto sink = std::make_unique<prefix_sink>(label + ": ", lines, out);
    if (json)
        return std::make_unique<json_observer>(std::move(sink), bar, label);
    return std::make_unique<text_observer>(std::move(sink), bar, label);
}

std::string printable_field(const std::string& bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c <= 0x7E)
            s += static_cast<char>(c);
        else
            s += strprintf("\\x%02X", c);
    }
    return s;
}
