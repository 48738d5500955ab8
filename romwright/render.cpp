// Rendering a run: text as the commands have always shown it, or JSON.
#include "romwright/render.h"

#include <cstdio>
#include <mutex>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "eeprom/vpd.h"
#include "romwright/progress_bar.h"

namespace {

using json = nlohmann::ordered_json;

struct text_sink {
    virtual ~text_sink() = default;
    virtual void write(const std::string& text, bool flush) = 0;
    virtual void note(const std::string& text) = 0;
};

// Where a text observer's output goes: standard output as it is, or, for
// one of several adapters, whole lines prefixed with the adapter's address.
class stdout_sink : public text_sink {
public:
    void write(const std::string& text, bool flush) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (flush)
            std::fflush(stdout);
    }
    void note(const std::string& text) override { std::fputs(text.c_str(), stderr); }
};

std::mutex g_output_mutex;  // lines of several adapters never mix

class prefix_sink : public text_sink {
public:
    explicit prefix_sink(std::string prefix) : prefix_(std::move(prefix)) {}
    ~prefix_sink() override {
        if (!out_.empty())
            write("\n", true);
    }
    void write(const std::string& text, bool) override { emit(out_, text, stdout); }
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
        std::lock_guard<std::mutex> guard(g_output_mutex);
        std::fputs(whole.c_str(), to);
        std::fflush(to);
    }
    std::string prefix_, out_, err_;
};

// The progress bar on a terminal, when there is one, for one adapter.
class bar_row {
public:
    explicit bar_row(const std::string& label) : bar_(progress_bar::on_terminal()) {
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
    text_observer(std::unique_ptr<text_sink> sink, const std::string& label)
        : sink_(std::move(sink)), bar_(label) {}
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
    void failure_shown(const std::string& text) override { flushed(text); }
    void note(const std::string& text) override {
        bar_.hide();
        sink_->note(text);
    }
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
    json_observer(std::unique_ptr<text_sink> sink, const std::string& label) : sink_(std::move(sink)), bar_(label) {}
    void words_done(uint32_t done, uint32_t total) override { bar_.update(done, total); }
    void failure_shown(const std::string&) override {}  // the document's "error" carries it
    void note(const std::string& text) override {
        bar_.hide();
        sink_->note(text);
    }

private:
    std::unique_ptr<text_sink> sink_;
    bar_row bar_;
};

json identity_json(const std::optional<board_identity>& id) {
    if (!id)
        return nullptr;
    auto field = [](const std::string& s) {
        return vpd_escape(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
    };
    return {{"part_number", field(id->part_number)},
            {"serial_number", field(id->serial_number)},
            {"mac_address", field(id->mac_address)}};
}

json plan_json(const plan_summary& s) {
    json regions = json::array(), copies = json::array(), repairs = json::array();
    for (const plan_summary::region& r : s.regions)
        regions.push_back({{"name", r.name}, {"first", r.first}, {"last", r.last}, {"words", r.words}});
    for (const plan_summary::copy_change& c : s.copies_changing)
        copies.push_back({{"index", c.index}, {"address", c.address}, {"before", c.before}, {"after", c.after}});
    for (const copy_repair& r : s.repairs)
        repairs.push_back({{"index", r.index},
                           {"address", r.address},
                           {"state", r.state},
                           {"from_index", r.from_index},
                           {"from_address", r.from_address}});
    return {{"words_to_write", s.words_to_write}, {"words_in_range", s.words_in_range},
            {"regions", regions},                 {"copies_changing", copies},
            {"repairs", repairs},                 {"projected_seconds", s.projected_seconds}};
}

std::string plan_text(const request& rq, const command_result& r) {
    const plan_summary& s = *r.plan;
    std::string t = strprintf("Plan of %s on %s; nothing was changed:\n", command_name(rq.command), r.adapter.c_str());
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

}  // namespace

std::unique_ptr<observer> make_text_observer() {
    return std::make_unique<text_observer>(std::make_unique<stdout_sink>(), "");
}
std::unique_ptr<observer> make_json_observer() {
    return std::make_unique<json_observer>(std::make_unique<stdout_sink>(), "");
}
std::unique_ptr<observer> make_prefixed_observer(const std::string& label, bool json) {
    if (json)
        return std::make_unique<json_observer>(std::make_unique<prefix_sink>(label + ": "), label);
    return std::make_unique<text_observer>(std::make_unique<prefix_sink>(label + ": "), label);
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

std::string render_result_text(const request& rq, const command_result& r) {
    if (r.plan)
        return plan_text(rq, r);
    switch (rq.command) {
    case command_code::dump:
        return render_dump(r.bytes.data(), rq.first, rq.end());
    case command_code::read:
        return strprintf("Wrote those bytes to binary file %s\n", rq.file.c_str());
    case command_code::vpd:
        return r.report ? render_vpd_report_text(*r.report) : std::string();
    case command_code::repair:
        if (r.repairs.empty())
            return strprintf("Nothing to repair: all %d VPD copies are good and hold one identity\n",
                             VPD_COPIES_IN_IMAGE);
        return strprintf("Repaired %zu of %d VPD copies: %u words written\n", r.repairs.size(), VPD_COPIES_IN_IMAGE,
                         r.words_written);
    default:
        return "";
    }
}

std::string render_result_json(const request& rq, const command_result& r, const std::string& error,
                               const std::string& signal) {
    const int status = r.status;
    json doc;
    if (rq.command == command_code::vpd && r.report && error.empty()) {
        // The document vpd has always given, with the interruption when one stands.
        doc = json::parse(render_vpd_report_json(*r.report));
        doc.erase("status");
        if (r.interrupted)
            doc["interrupted"] = interrupted_json(*r.interrupted);
        doc["status"] = status;
        return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }
    doc["command"] = command_name(rq.command);
    doc["adapter"] = r.adapter.empty() ? json(nullptr) : json(r.adapter);
    if (r.interrupted)
        doc["interrupted"] = interrupted_json(*r.interrupted);
    if (changes_eeprom(rq.command)) {
        doc["changed"] = r.changed;
        doc["words_written"] = r.words_written;
        doc["backup"] = r.backup ? json(*r.backup) : json(nullptr);
        doc["identity_before"] = identity_json(r.identity_before);
        doc["identity_after"] = identity_json(r.identity_after);
        if (r.plan)
            doc["plan"] = plan_json(*r.plan);
        if (rq.command == command_code::repair) {
            plan_summary s;
            s.repairs = r.repairs;
            doc["repairs"] = plan_json(s)["repairs"];
        }
    }
    switch (rq.command) {
    case command_code::verify: {
        json mismatches = json::array();
        for (const word_mismatch& m : r.mismatches)
            mismatches.push_back({{"address", m.address}, {"expected", m.file}, {"found", m.eeprom}});
        doc["passed"] = r.passed;
        doc["mismatches"] = mismatches;
        break;
    }
    case command_code::read:
        if (!r.sha256.empty()) {
            doc["file"] = r.file;
            doc["size"] = r.size;
            doc["sha256"] = r.sha256;
        }
        break;
    case command_code::dump:
        if (error.empty()) {
            json words = json::array();
            for (size_t i = 0; i < r.bytes.size(); i += 4) {
                uint32_t w = 0;
                for (size_t k = 0; k < 4 && i + k < r.bytes.size(); ++k)
                    w |= uint32_t{r.bytes[i + k]} << (8 * k);
                words.push_back(w);
            }
            doc["start"] = r.start;
            doc["length"] = r.bytes.size();
            doc["words"] = words;
        }
        break;
    default:
        break;
    }
    if (!error.empty()) {
        std::string message = error;
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        doc["error"] = message;
    }
    if (!signal.empty())
        doc["signal"] = signal;
    doc["status"] = status;
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
