// EEPROM words per second through the word port and the bulk routines, the
// time to render a full dump and to decode a whole image's VPD copies, and
// the costs a change adds around its words: building the plan in memory,
// and the journal, the image file's one read and the plan together.
//
// Two platforms: the in-process simulated adapter (write cycles of 0 ms, no
// trace), whose own model cost is included in every figure, and a null
// platform whose registers do only what makes the VPD flag and the status
// word answer at once, which shows the program's own cost per word.  On real
// hardware a word costs microseconds of bus round trips and a write cycle
// of milliseconds; the program's share must stay far below that.
#include <benchmark/benchmark.h>
#include <sha2.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/bulk.h"
#include "eeprom/eeprom.h"
#include "eeprom/image_file.h"
#include "eeprom/journal.h"
#include "eeprom/plan.h"
#include "eeprom/vpd_report.h"
#include "romwright/render.h"
#include "sim/sim_adapter.h"

namespace {

constexpr int64_t WORDS = SEEPROM_SIZE / 4;

// ---- the null platform --------------------------------------------------

// Remembers which config dword the request register selected, the last
// value written to VPD_CAP_ADDR and VPD_CAP_DATA, and the words written (so
// that a read-back finds them): a read request (flag clear) is answered with
// the flag set, a write request (flag set) with the flag clear; the status
// word is never written, so it reads idle (0).  The words start as the
// sample board.
class null_window : public register_window {
public:
    null_window() {
        std::vector<uint8_t> board(SEEPROM_SIZE);
        fill_sample_board(board.data());
        // VPD address v holds EEPROM address v + 0x400 (rotated by 0x400).
        for (uint32_t a = 0; a < SEEPROM_SIZE; a += 4)
            words_[(remap_se_addr(a) / 4) & (WORDS - 1)] = word_from_bytes(&board[a]);
        words_[remap_se_addr(STATUS_WORD_ADDR) / 4] = 0;
    }

    uint32_t read32(uint32_t offset) override {
        if (offset == PCIE_CFG_SPACE_DATA && select_ == VPD_CAP_ADDR)
            return ((vpd_addr_ & VPD_FLAG) ^ VPD_FLAG) | 0x03;  // capability ID in bits 0-7
        if (offset == PCIE_CFG_SPACE_DATA && select_ == VPD_CAP_DATA)
            return data_;
        return 0;
    }

    void write32(uint32_t offset, uint32_t value) override {
        if (offset == PCIE_CFG_SPACE_REQ) {
            select_ = value & 0xFFF;
        } else if (offset == PCIE_CFG_SPACE_DATA && select_ == VPD_CAP_DATA) {
            data_ = value;
        } else if (offset == PCIE_CFG_SPACE_DATA && select_ == VPD_CAP_ADDR) {
            vpd_addr_ = value;
            uint32_t& word = words_[(value >> 18) & (WORDS - 1)];
            if (value & VPD_FLAG)
                word = data_;
            else
                data_ = word;
        }
    }

private:
    uint32_t select_ = 0;
    uint32_t vpd_addr_ = 0;
    uint32_t data_ = 0;
    uint32_t words_[WORDS] = {};
};

// One function, the host's clock as the real platform reads it and sleeps; its
// site (no lock, no backups, no journals) is an empty one.
class null_platform : public platform {
public:
    std::vector<pci_function> scan() override { return {function()}; }
    mapped_window map(const pci_function&) override { return std::make_unique<null_window>(); }
    vpd_file read_vpd_file(const site&, const pci_function&) override {
        return vpd_file_refusal{vpd_file_step::open, ENOENT};
    }
    int64_t clock_us(const pci_function&) override { return clock_.now_us(); }
    bool sleep_until_us(const pci_function&, int64_t deadline_us) override {
        clock_.sleep_until_us(deadline_us);
        return true;
    }

    static pci_function function() { return pci_function{0, 0x04, 0x00, 0, SIM_BAR0, SIM_VENDOR_ID, SIM_DEVICE_ID}; }

private:
    host_clock clock_;
};

// Says nothing: no progress line or note costs output here.
class quiet_observer : public observer {};

// ---- platform selection -------------------------------------------------
enum which { SIM = 0, NUL = 1 };

quiet_observer g_observer;

// A session as open_adapter() gives one, without the scan, the lock and the
// VPD-timer access, with its platform: a fresh simulated adapter holding
// the sample board (write cycles of 0 ms), or a fresh null window.
struct bench_session {
    std::unique_ptr<platform> p;
    std::unique_ptr<adapter_session> s;
    adapter_session& operator*() { return *s; }
};

bench_session open_session(int which) {
    bench_session b;
    site where;
    pci_function fn = null_platform::function();
    if (which == SIM) {
        sim_config cfg;
        cfg.write_cycle_us = 0;
        auto sim = std::make_unique<sim_platform>(cfg);
        where = sim->where();
        fn = sim->model().devices().front();
        b.p = std::move(sim);
    } else {
        b.p = std::make_unique<null_platform>();
    }
    b.s = std::make_unique<adapter_session>(*b.p, where, fn, adapter_lock(),
                                            std::get<std::unique_ptr<register_window>>(b.p->map(fn)), g_observer);
    return b;
}

// words/s, and the time per word ("s/word", shown with an SI prefix).
void set_words(benchmark::State& state, int64_t words_per_iteration) {
    const double words = static_cast<double>(words_per_iteration);
    state.counters["words/s"] = benchmark::Counter(words, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/word"] =
        benchmark::Counter(words, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void label(benchmark::State& state) {
    state.SetLabel(state.range(0) == SIM ? "simulated adapter" : "null platform");
}

std::vector<uint8_t> sample() {
    std::vector<uint8_t> b(SEEPROM_SIZE);
    fill_sample_board(b.data());
    return b;
}

// The sample board with 100 words changed, one word in two from 0x4000
// (outside the VPD copies, so the board's identity stays trusted).
std::vector<uint8_t> changed_image() {
    std::vector<uint8_t> b = sample();
    for (uint32_t i = 0; i < 100; ++i)
        b[0x4000 + 8 * i + 1] = 0xA5;
    return b;
}

// write -f:<file> of the whole EEPROM, with -changed or without.
write_spec full_write(const std::string& file, const std::vector<uint8_t>& image, bool changed_only) {
    write_spec w;
    w.type = image_type::full;
    w.region = image_region_of(image_type::full, 0, SEEPROM_SIZE);
    w.image = &image;
    w.file = file;
    w.changed_only = changed_only;
    return w;
}

// The plan of w on the sample board, summarized as -plan shows it.
change_plan planned(const std::vector<uint8_t>& before, const write_spec& w) {
    change_plan p = plan_write(before, w, plan_place{"0000:04:00.0", ""});
    if (!p.refusal)
        summarize_plan(p, 100);
    return p;
}

// ---- the word port and the bulk routines --------------------------------

void BM_se_read(benchmark::State& state) {
    auto s = open_session(static_cast<int>(state.range(0)));
    uint32_t a = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(se_read(*s, a));
        a = (a + 4) & 0x7FFF;
    }
    set_words(state, 1);
    label(state);
}

void BM_se_write(benchmark::State& state) {
    auto s = open_session(static_cast<int>(state.range(0)));
    uint32_t a = 0x400;
    for (auto _ : state) {
        se_write(*s, a, 0xA5A5A5A5u ^ a);
        a = a + 4 >= STATUS_WORD_ADDR ? 0x400 : a + 4;
    }
    set_words(state, 1);
    label(state);
}

void BM_read_seeprom(benchmark::State& state) {
    auto s = open_session(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    for (auto _ : state) {
        read_seeprom(*s, buf.data(), 0, SEEPROM_SIZE);
        benchmark::DoNotOptimize(buf.data());
    }
    set_words(state, WORDS);
    label(state);
}

// The words of a full write -f, each read back: 8136 words (the skip window
// and the status word are never written).  Returns false (a whole EEPROM
// written in under 4 s cannot be real), which is not checked here; the
// words are written all the same.  The figure per word is the program's
// cost per word written.
void BM_write_words(benchmark::State& state) {
    auto s = open_session(static_cast<int>(state.range(0)));
    std::vector<uint8_t> before(SEEPROM_SIZE);
    read_seeprom(*s, before.data(), 0, SEEPROM_SIZE);
    std::vector<uint8_t> after = before;
    const std::vector<uint8_t> image = changed_image();
    overlay(after, 0, image.data(), SEEPROM_SIZE);
    const std::vector<uint32_t> words = select_words(before, after, 0, SEEPROM_SIZE, false);
    const word_transfer t{before.data(), after.data(), &words, 0, SEEPROM_SIZE, false, true};
    for (auto _ : state) {
        transfer_outcome done;
        benchmark::DoNotOptimize(write_words(*s, t, done));
        if (done.words_written != words.size())
            state.SkipWithError("words were not written");
    }
    set_words(state, static_cast<int64_t>(words.size()));
    label(state);
}

// -changed of an image the EEPROM already holds: the whole EEPROM read once,
// the words compared in memory, none written.
void BM_write_changed_identical(benchmark::State& state) {
    auto s = open_session(static_cast<int>(state.range(0)));
    std::vector<uint8_t> image(SEEPROM_SIZE);
    read_seeprom(*s, image.data(), 0, SEEPROM_SIZE);
    std::vector<uint8_t> before(SEEPROM_SIZE);
    for (auto _ : state) {
        read_seeprom(*s, before.data(), 0, SEEPROM_SIZE);
        std::vector<uint8_t> after = before;
        overlay(after, 0, image.data(), SEEPROM_SIZE);
        const std::vector<uint32_t> words = select_words(before, after, 0, SEEPROM_SIZE, true);
        const word_transfer t{before.data(), after.data(), &words, 0, SEEPROM_SIZE, true, true};
        transfer_outcome done;
        write_words(*s, t, done);
        if (done.words_written != 0)
            state.SkipWithError("words were written");
    }
    set_words(state, WORDS);
    label(state);
}

// Against the EEPROM's own contents, so that no mismatch is found.
void BM_verify_seeprom(benchmark::State& state) {
    auto s = open_session(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    read_seeprom(*s, buf.data(), 0, SEEPROM_SIZE);
    for (auto _ : state)
        if (!verify_seeprom(*s, buf.data(), 0, SEEPROM_SIZE).empty())
            state.SkipWithError("verify found a difference");
    set_words(state, WORDS);
    label(state);
}

// ---- rendering and decoding ---------------------------------------------

void BM_render_dump(benchmark::State& state) {
    const std::vector<uint8_t> buf = sample();
    for (auto _ : state)
        benchmark::DoNotOptimize(render_dump(buf.data(), 0, SEEPROM_SIZE));
    state.SetBytesProcessed(state.iterations() * int64_t{SEEPROM_SIZE});
}

// The vpd check's own work on a whole image: the 14 copies decoded and
// their identity compared, no rendering.
void BM_vpd_report(benchmark::State& state) {
    const std::vector<uint8_t> buf = sample();
    for (auto _ : state)
        benchmark::DoNotOptimize(make_vpd_report(buf.data() + VPD_AREA_START, VPD_COPIES_IN_IMAGE, VPD_AREA_START));
}

// ---- what a change adds around its words --------------------------------

// The plan of write -f of the sample board's image with 100 words
// changed, on the sample board: identity checks, the identity put into the
// image, the overlay, the words selected and the summary (three VPD
// reports).  Arg 1: -changed.  Per word of the EEPROM.
void BM_plan_change(benchmark::State& state) {
    const bool changed_only = state.range(0) != 0;
    const std::vector<uint8_t> before = sample();
    const std::vector<uint8_t> image = changed_image();
    const write_spec w = full_write("image.bin", image, changed_only);
    size_t to_write = 0;
    for (auto _ : state) {
        const change_plan p = planned(before, w);
        if (p.refusal)
            state.SkipWithError("the plan was refused");
        to_write = p.summary.words_to_write;
    }
    set_words(state, WORDS);
    state.SetLabel(strprintf("%s, %zu words to write", changed_only ? "write -f -changed" : "write -f", to_write));
}

// A scratch folder, removed with what is in it.
struct scratch {
    std::string path;
    scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/romwright-bench-XXXXXX";
        if (!mkdtemp(&templ[0]))
            std::abort();
        path = templ;
    }
    ~scratch() {
        const std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
};

// What run_change adds to write -f before and after its words, apart from
// the backup: the image file opened for update (locked) and read once, the
// journal looked for, the plan, the journal record (with the SHA-256 of the
// image to flash) written, flushed and renamed into place, then removed.
// The image file and the journal lie in a folder under TMPDIR (/tmp), whose
// file system decides the flushes' wall time.  Per word written.
void BM_journal_read_plan(benchmark::State& state) {
    scratch dir;
    const std::string path = dir.path + "/image.bin";
    const std::vector<uint8_t> image = changed_image();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), SEEPROM_SIZE);
    site where;
    where.journal_dir = dir.path;
    null_platform clock;
    const std::vector<uint8_t> before = sample();
    const pci_function fn = null_platform::function();
    size_t to_write = 0;
    for (auto _ : state) {
        std::unique_ptr<image_file> f = image_file::open(path, image_file::use::update, SEEPROM_SIZE, g_observer);
        std::optional<journal_record> standing = read_journal(where, fn);
        const change_plan p = planned(before, full_write(path, f->bytes(), false));
        if (p.refusal || standing)
            state.SkipWithError("the plan was refused, or a journal stood");
        to_write = p.summary.words_to_write;
        journal_guard journal(where, fn, g_observer, standing);
        journal_record record;
        record.adapter = function_address(fn);
        record.command = "write -f:" + path;
        record.image = path;
        char hex[SHA256_DIGEST_STRING_LENGTH];
        record.image_sha256 = SHA256Data(p.image_with_identity.data(), p.image_with_identity.size(), hex);
        record.time = clock.clock_us(fn) / 1000000;
        journal.begin(record);
        journal.words_changed();
        journal.finish(p.clears_interruption);
    }
    set_words(state, static_cast<int64_t>(to_write));
    state.SetLabel(strprintf("write -f, %zu words to write", to_write));
}

BENCHMARK(BM_se_read)->Arg(SIM)->Arg(NUL);
BENCHMARK(BM_se_write)->Arg(SIM)->Arg(NUL);
BENCHMARK(BM_read_seeprom)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_write_words)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_write_changed_identical)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_verify_seeprom)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_render_dump)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_vpd_report)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_plan_change)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_journal_read_plan)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
