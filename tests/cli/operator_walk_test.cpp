// A randomized operator at work on a host with two adapters: changes,
// refusals, mistyped options, power cuts, signals, stalls and write
// protection, with every invariant checked after each step.
//
// The walk is fixed by its number.  ROMWRIGHT_WALK_NUMBER and ROMWRIGHT_WALK_STEPS
// choose another or a longer one; a failure names both, and the step, so
// that it can be replayed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;
using json = nlohmann::json;

// Slow environments (an emulator, the sanitizers) walk fewer steps.
bool slow_environment() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    const char* emu = std::getenv("ROMWRIGHT_SIM_EMULATOR");
    return emu && *emu;
}

unsigned long env_number(const char* name, unsigned long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoul(v, nullptr, 0) : fallback;
}

const std::string kOwnSn = "PTSIMB000000000000054321";  // the second board's
const std::string kOwnMac = "0C4E29000002";

// The identity (part, serial and MAC number bytes) VPD copy i of e holds;
// empty when the copy is not good.
std::string copy_identity(const std::vector<uint8_t>& e, uint32_t i) {
    const uint8_t* c = &e[0x400 + 0x400 * i];
    if (c[0] != 0x82 || copy_sum(c) != 0)
        return "";
    return std::string(c + 25, c + 41) + std::string(c + 63, c + 87) + std::string(c + 90, c + 102);
}

// The identity a strict majority of the good copies holds; empty: none.
std::string identity_of(const std::vector<uint8_t>& e) {
    std::map<std::string, int> held;
    int good = 0;
    for (uint32_t i = 0; i < kCopies; ++i)
        if (const std::string id = copy_identity(e, i); !id.empty())
            ++good, ++held[id];
    for (const auto& h : held)
        if (2 * h.second > good)
            return h.first;
    return "";
}

// image with the board e's identity (from its copy at 0x800) in each copy.
std::vector<uint8_t> carrying(std::vector<uint8_t> image, uint32_t first_copy, const std::vector<uint8_t>& e) {
    const char* id = reinterpret_cast<const char*>(&e[0x800]);
    for (uint32_t i = 0; i < kCopies; ++i)
        set_identity(&image[first_copy + 0x400 * i], id + 25, id + 63, id + 90);
    return image;
}

// e with bytes laid at `at`, as every write leaves it: the skip window and
// the status word keep their bytes.
std::vector<uint8_t> laid(const std::vector<uint8_t>& e, uint32_t at, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out = e;
    std::copy(bytes.begin(), bytes.end(), out.begin() + at);
    return flashed(out, e);
}

// What repair leaves: every copy that is not good or holds another
// identity rewritten from the first good copy holding the majority's.
std::vector<uint8_t> repaired(const std::vector<uint8_t>& e) {
    const std::string most = identity_of(e);
    uint32_t src = 0;
    while (!most.empty() && copy_identity(e, src) != most)
        ++src;
    std::vector<uint8_t> out = e;
    for (uint32_t i = 0; !most.empty() && i < kCopies; ++i)
        if (copy_identity(e, i) != most)
            out = laid(out, 0x400 + 0x400 * i, slice(e, 0x400 + 0x400 * src, 0x800 + 0x400 * src));
    return out;
}

// The operator's commands.  `own` is the adapter's own saved image.
enum class does { init, full, vpd_only, restore, clear_init, clear_vpd, repair, read_vpd, damage };
struct walk_row {
    does what;
    std::vector<std::string> words;
    std::vector<std::string> foreign;  // an option this command does not take
};
const walk_row k_rows[] = {
    {does::init, {"write", "-finit:init.bin"}, {"-force-identity"}},
    {does::full, {"write", "-f:img.bin"}, {"-force-identity"}},
    {does::vpd_only, {"write", "-fvpd:vpd.bin"}, {"-force-identity"}},
    {does::restore, {"restore", "own"}, {"-prometheus", "m.prom"}},
    {does::restore, {"restore", "other.bin"}, {"-prometheus", "m.prom"}},
    {does::restore, {"restore", "other.bin", "-force-identity"}, {"-prometheus", "m.prom"}},
    {does::restore, {"restore", "own", "-force-identity"}, {"-prometheus", "m.prom"}},
    {does::clear_init, {"clearinit"}, {"-changed"}},
    {does::clear_vpd, {"clearvpd"}, {"-force-identity"}},
    {does::repair, {"repair"}, {"-changed"}},
    {does::read_vpd, {"vpd"}, {"-plan"}},
    {does::damage, {}, {}},  // a flipped bit in a copy, done by the test itself
};
const char* const k_misspelt[] = {"-plna", "-nobakup", "-jsno", "-chagned", "-force-identiy"};
const char* const k_long_options[] = {"-plan", "-nobackup", "-changed", "-json", "-force-identity"};
const char* const k_signals[][2] = {{"INT", "130"}, {"TERM", "143"}, {"HUP", "129"}, {"USR1", "138"}};

struct adapter {
    std::string address, full, eeprom, journal, own;
    std::string identity;  // the board's; changed only by restore -force-identity
};

// A file of the scratch folder: its modification time and bytes.
using file_state = std::pair<long long, std::vector<uint8_t>>;

class walk {
public:
    explicit walk(unsigned long number) : number_(number), rng_(static_cast<std::mt19937::result_type>(number)) {
        std::vector<uint8_t> second = sample_board();
        for (uint32_t c = 0; c < kCopies; ++c)
            set_identity(&second[0x400 + 0x400 * c], kBoardPn, kOwnSn.c_str(), kOwnMac.c_str());
        a_ = {"04:00.0", "0000:04:00.0", home_.file("a.bin"), home_.file("romwright-0000:04:00.journal"), "a-own.bin",
              identity_of(sample_board())};
        b_ = {"05:00.0", "0000:05:00.0", home_.file("b.bin"), home_.file("romwright-0000:05:00.journal"), "b-own.bin",
              identity_of(second)};
        const std::vector<uint8_t> image = changed_full_image();
        const std::pair<const char*, std::vector<uint8_t>> files[] = {
            {"a.bin", sample_board()}, {"a-own.bin", sample_board()},       {"b.bin", second},
            {"b-own.bin", second},     {"img.bin", image},                  {"other.bin", image},
            {"init.bin", slice(image, 0, 0x400)}, {"vpd.bin", slice(image, 0x400, 0x8000)}};
        for (const auto& f : files)
            write_file(home_.file(f.first), f.second);
    }

    // Runs step n; false once the walk has failed too often to go on.
    bool step(unsigned long n) {
        const walk_row& row = k_rows[pick(std::size(k_rows))];
        const int target = row.what != does::read_vpd && row.what != does::damage && pick(6) == 0 ? 2 : pick(2);
        std::vector<adapter*> on = target == 2 ? std::vector<adapter*>{&a_, &b_}
                                               : std::vector<adapter*>{target ? &b_ : &a_};
        if (row.what == does::damage) {  // not the operator's: only the EEPROM bits change
            std::vector<uint8_t> e = read_file(on[0]->eeprom);
            e[0x400 + 0x400 * pick(kCopies) + 63 + pick(24)] ^= 0x01;
            write_file(on[0]->eeprom, e);
            return true;
        }
        const bool change = row.what != does::read_vpd;
        std::vector<std::string> words = row.words, sim;
        for (std::string& w : words)
            if (w == "own")
                w = on[0]->own;
        auto add = [&](std::vector<std::string> option) {
            words.insert(pick(2) ? words.begin() : words.end(), option.begin(), option.end());
        };
        bool plan = false;
        if (change && pick(6) == 0)
            add({"-plan"}), plan = true;
        if (change && pick(8) == 0)
            add({"-nobackup"});
        if ((row.what == does::full || row.what == does::vpd_only || row.what == does::restore) && pick(3) == 0)
            add({"-changed"});
        if (target == 2 || pick(3) == 0)
            add({"-json"});
        words.insert(words.begin(), {"-b", target == 2 ? "all" : on[0]->address});
        // A mistyped option: misspelt or misplaced ones are refused, a
        // long option with two dashes is the option itself.
        bool refused = false;
        const int mistype = static_cast<int>(pick(10));
        if (mistype == 0 || mistype == 1) {
            std::vector<std::string> w = mistype == 0 ? std::vector<std::string>{k_misspelt[pick(5)]} : row.foreign;
            words.insert(pick(2) ? words.begin() + 2 : words.end(), w.begin(), w.end());
            refused = true;
        } else if (mistype < 4) {
            std::vector<size_t> longs;
            for (size_t i = 2; i < words.size(); ++i)
                if (std::find(std::begin(k_long_options), std::end(k_long_options), words[i]) != std::end(k_long_options) &&
                    !(target == 2 && words[i] == "-json"))  // several adapters' statuses come from the document
                    longs.push_back(i);
            if (!longs.empty())
                words[longs[pick(longs.size())]].insert(0, "-");
        }
        std::string signal_status;
        if (change && !plan) {
            const int f = pick(10);
            if (f == 0 && target != 2)
                sim = {"--power-loss", std::to_string(pick(4) ? 1 + pick(300) : 1 + pick(8200))};
            else if (f == 1 && target != 2) {
                const auto& s = k_signals[pick(4)];
                sim = {"--raise", std::string(s[0]) + ":" + std::to_string(1 + pick(300))};
                signal_status = s[1];
            } else if (f == 2)
                sim = {"--stall", pick(2) ? "vpd" : "status"};
            else if (f == 3)
                sim = {"--write-protect"};
        }
        SCOPED_TRACE("replay: ROMWRIGHT_WALK_NUMBER=" + std::to_string(number_) + " ROMWRIGHT_WALK_STEPS=" +
                     std::to_string(n + 1) + " build/tests/romwright_cli_tests --gtest_filter='operator_walk.*'; step " +
                     std::to_string(n) + ": romwright-sim " + join(sim, " ") + (sim.empty() ? "-- " : " -- ") +
                     join(words, " "));
        failed_ = false;
        run_step(row, on, words, sim, change && !plan && !refused, refused, signal_status);
        failing_steps_ += failed_;
        return failing_steps_ < 3;
    }

private:
    size_t pick(size_t n) { return rng_() % n; }
    static bool has(const std::vector<std::string>& words, const std::string& w) {
        return std::find(words.begin(), words.end(), w) != words.end();
    }

    // Each invariant fails under its own name.
    std::string violated(const char* invariant) {
        failed_ = true;
        return std::string(invariant) + ": ";
    }
#define WALK_CHECK(invariant, cond) \
    switch (0)                      \
    case 0:                         \
    default:                        \
        if (cond) {                 \
        } else                      \
            ADD_FAILURE() << violated(invariant)

    run_result run(const std::vector<std::string>& words, std::vector<std::string> sim = {}) {
        std::vector<std::string> opts = {"--eeprom", a_.eeprom, "--device", "04:00.0", "--device", "05:00.0=" + b_.eeprom};
        opts.insert(opts.end(), sim.begin(), sim.end());
        return run_sim(opts, words, home_.path());
    }

    // Every file of the scratch folder but the program's own.
    std::map<std::string, file_state> listing(const std::string& dir = "") {
        std::map<std::string, file_state> out;
        for (const std::string& name : files_in(home_.file(dir))) {
            const std::string rel = dir.empty() ? name : dir + "/" + name, path = home_.file(rel);
            if (rel == "a.bin" || rel == "b.bin" || rel == "history.jsonl" || rel == "locks" || rel == "backups" ||
                rel.find(".journal") != std::string::npos)
                continue;
            struct stat st {};
            lstat(path.c_str(), &st);
            if (S_ISDIR(st.st_mode)) {
                for (auto& f : listing(rel))
                    out.insert(f);
                continue;
            }
            out[rel] = {st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, read_file(path)};
        }
        return out;
    }

    // The history records from line `from` on, each as "ADAPTER interrupted"
    // or "ADAPTER COMMAND status N".
    std::vector<std::string> records(size_t from = 0) {
        std::vector<std::string> out;
        const std::vector<std::string> lines = lines_of(read_text(home_.file("history.jsonl")));
        for (size_t i = from; i < lines.size(); ++i) {
            const json r = json::parse(lines[i], nullptr, false);
            if (!r.is_object())
                out.push_back("(not a record)");
            else if (r.value("outcome", "") == "interrupted")
                out.push_back(r.value("adapter", "") + " interrupted");
            else
                out.push_back(r.value("adapter", "") + " " + r.value("command", "") + " status " +
                              (r.contains("status") ? r.at("status").dump() : "none"));
        }
        return out;
    }

    // The document, checked: one JSON document whose status is the exit status.
    json document(const run_result& r) {
        const json doc = json::parse(r.out, nullptr, false);
        WALK_CHECK("json_is_one_document", !doc.is_discarded() && doc.is_object()) << r.out;
        if (doc.is_discarded() || !doc.is_object())
            return json();
        WALK_CHECK("json_status_is_exit_status", doc.value("status", -1) == r.status)
            << doc.value("status", -1) << " vs " << r.status;
        return doc;
    }

    void run_step(const walk_row& row, const std::vector<adapter*>& on, const std::vector<std::string>& words,
                  std::vector<std::string> sim, bool applies, bool refused, const std::string& signal_status) {
        if (refused)
            sim.insert(sim.end(), {"--trace", private_.file("trace")});
        const std::map<std::string, file_state> files = listing();
        const size_t history_lines = records().size();
        const std::string history_text = read_text(home_.file("history.jsonl"));
        const std::vector<std::string> backups = files_in(home_.file("backups"));
        std::map<adapter*, std::vector<uint8_t>> before, after;
        for (adapter* x : {&a_, &b_}) {
            before[x] = read_file(x->eeprom);
            after[x] = before[x];
        }
        for (adapter* x : on) {
            const std::vector<uint8_t>& e = before[x];
            switch (row.what) {
            case does::init: after[x] = laid(e, 0, read_file(home_.file("init.bin"))); break;
            case does::full: after[x] = laid(e, 0, carrying(read_file(home_.file("img.bin")), 0x400, e)); break;
            case does::vpd_only: after[x] = laid(e, 0x400, carrying(read_file(home_.file("vpd.bin")), 0, e)); break;
            case does::restore:
                after[x] = laid(e, 0, read_file(home_.file(has(words, "other.bin") ? "other.bin" : on[0]->own)));
                break;
            case does::clear_init: after[x] = laid(e, 0, std::vector<uint8_t>(0x400, 0xFF)); break;
            case does::clear_vpd: after[x] = laid(e, 0x400, std::vector<uint8_t>(0x4000, 0xFF)); break;
            case does::repair: after[x] = repaired(e); break;
            default: break;
            }
        }
        const std::string image = row.what == does::full ? "img.bin" : row.what == does::vpd_only ? "vpd.bin" : "";

        const run_result r = run(words, sim);

        if (refused) {
            WALK_CHECK("mistyped_option_is_refused_with_255", r.status == 255) << r.status << "\n" << r.out;
            WALK_CHECK("refused_run_touches_no_register", read_text(private_.file("trace")).empty());
            unlink(private_.file("trace").c_str());
        }
        json doc;
        if ((has(words, "-json") || has(words, "--json")) && !r.signaled)
            doc = document(r);
        const bool forced = applies && (has(words, "-force-identity") || has(words, "--force-identity"));
        std::vector<std::string> want;
        for (adapter* x : {&a_, &b_}) {
            const bool targeted = std::find(on.begin(), on.end(), x) != on.end();
            int status = r.status;
            if (on.size() > 1 && doc.is_object() && doc.contains("adapters"))
                for (const json& d : doc["adapters"])
                    if (d.value("adapter", "") == x->full)
                        status = d.value("status", -1);
            const std::vector<uint8_t> now = read_file(x->eeprom);
            const bool journal = access(x->journal.c_str(), F_OK) == 0;
            if (!targeted || !applies) {
                WALK_CHECK("untouched_eeprom_is_unchanged", now == before[x]) << x->full;
                WALK_CHECK("no_journal_without_a_change", !journal) << x->full;
                if (journal)  // go on from a known state
                    undo(*x, before[x], r.status == 137, true, &want);
                if (!identity_of(read_file(x->eeprom)).empty())
                    x->identity = identity_of(read_file(x->eeprom));
                continue;
            }
            if (status != 137)
                want.push_back(x->full + " " + row.words[0] + " status " + std::to_string(status));
            WALK_CHECK("signal_status_is_128_plus_n",
                       signal_status.empty() || status == 0 || status == 1 || std::to_string(status) == signal_status)
                << status;
            const bool finished = status == 0 || (status > 128 && status != 137);
            WALK_CHECK("finished_change_leaves_its_after_state", !finished || now == after[x])
                << x->full << " status " << status;
            WALK_CHECK("unfinished_change_without_journal_leaves_before_state", finished || journal || now == before[x])
                << x->full << " status " << status;
            const std::string id = identity_of(now);
            if (forced && !id.empty() && finished)
                x->identity = id;
            // A board with no identity left (erased) may be given its own back.
            WALK_CHECK("identity_changes_only_by_force_identity",
                       forced || id.empty() || id == x->identity || identity_of(before[x]).empty())
                << x->full << " holds " << id << ", the board's is " << x->identity << " (before this step: "
                << (identity_of(before[x]).empty() ? "none" : identity_of(before[x])) << ")";
            if (!forced && !id.empty())
                x->identity = id;  // one report, not one per later step
            if (journal)
                undo(*x, before[x], status == 137, forced, &want);
        }
        // Files: the program's own apart, only the image file a write puts
        // the identity into may change.
        std::map<std::string, file_state> now_files = listing();
        if (!image.empty() && on.size() == 1 && applies && now_files.count(image)) {
            const std::vector<uint8_t> was = files.at(image).second, is = now_files[image].second;
            WALK_CHECK("image_file_is_as_it_was_or_carries_the_identity",
                       is == was || is == carrying(was, row.what == does::full ? 0x400 : 0, before[on[0]]));
            now_files[image] = files.at(image);
        }
        std::string changed;
        for (const auto& f : now_files)
            if (!files.count(f.first) || files.at(f.first) != f.second)
                changed += " " + f.first;
        for (const auto& f : files)
            if (!now_files.count(f.first))
                changed += " " + f.first + " (gone)";
        WALK_CHECK("no_file_outside_the_programs_own_changed", changed.empty()) << changed;
        WALK_CHECK("no_backup_without_a_change", applies || files_in(home_.file("backups")) == backups);
        // History: every change that reached an adapter, once, with its status.
        const std::string history_now = read_text(home_.file("history.jsonl"));
        WALK_CHECK("history_is_only_appended", history_now.compare(0, history_text.size(), history_text) == 0);
        std::vector<std::string> got = records(history_lines);
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        WALK_CHECK("each_change_recorded_once_with_its_status", got == want)
            << "recorded {" << join(got, ", ") << "}, expected {" << join(want, ", ") << "}";
    }

    // A journal stands: the next run names the restore that undoes the
    // change; pasted, it gives the EEPROM back as it was before the step.
    void undo(adapter& x, const std::vector<uint8_t>& before, bool cut, bool forced, std::vector<std::string>* want) {
        const run_result probe = run({"-b", x.address, "-json", "vpd"});
        const json doc = document(probe);
        if (cut)
            want->push_back(x.full + " interrupted");
        if (access(x.journal.c_str(), F_OK) != 0) {  // no backup named, and no word took
            WALK_CHECK("cleared_journal_means_nothing_changed", read_file(x.eeprom) == before) << x.full;
            return;
        }
        std::vector<std::string> words;
        const json restore = doc.is_object() && doc.contains("interrupted") ? doc["interrupted"]["restore"] : json();
        if (restore.is_string()) {
            const std::string line = restore;
            std::string path = line.substr(line.find('\'') + 1);
            path.pop_back();
            for (size_t at; (at = path.find("'\\''")) != std::string::npos;)
                path.replace(at, 4, "'");
            words = {"-b", x.full, "restore", path};
        } else {  // -nobackup: the operator's own copy of the board
            write_file(private_.file("before.bin"), before);
            words = {"-b", x.full, "restore", private_.file("before.bin")};
            if (forced)
                words.push_back("-force-identity");
        }
        const run_result back = run(words);
        want->push_back(x.full + " restore status " + std::to_string(back.status));
        WALK_CHECK("named_restore_succeeds", back.status == 0) << back.out << back.err;
        WALK_CHECK("named_restore_gives_the_eeprom_back", read_file(x.eeprom) == before) << x.full;
        WALK_CHECK("restore_clears_the_journal", access(x.journal.c_str(), F_OK) != 0) << x.full;
    }
#undef WALK_CHECK

    static std::string join(const std::vector<std::string>& v, const char* between) {
        std::string s;
        for (const std::string& x : v)
            s += (s.empty() ? "" : between) + x;
        return s;
    }

    unsigned long number_;
    std::mt19937 rng_;
    temp_dir home_, private_;
    adapter a_, b_;
    bool failed_ = false;
    int failing_steps_ = 0;
};

TEST(operator_walk, every_step_keeps_the_eeprom_identity_files_history_and_json_right) {
    const unsigned long number = env_number("ROMWRIGHT_WALK_NUMBER", 20261209);
    const unsigned long steps = env_number("ROMWRIGHT_WALK_STEPS", slow_environment() ? 12 : 100);
    walk w(number);
    for (unsigned long n = 0; n < steps; ++n)
        if (!w.step(n))
            break;
}

}  // namespace
