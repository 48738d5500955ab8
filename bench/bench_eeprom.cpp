// EEPROM words per second through the word port and the bulk routines, the
// time to render a full dump and to decode a whole image's VPD copies.
//
// Two platforms: the in-process simulated adapter (write cycles of 0 ms, no
// trace), whose own model cost is included in every figure, and a null
// platform whose registers do only what makes the VPD flag and the status
// word answer at once, which shows the program's own cost per word.  On real
// hardware a word costs microseconds of bus round trips and a write cycle
// of milliseconds; the program's share must stay far below that.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "adapter/adapter.h"
#include "eeprom/eeprom.h"
#include "eeprom/vpd_report.h"
#include "sim/sim_adapter.h"

namespace {

// ---- the null platform --------------------------------------------------
// Remembers which config dword the request register selected, the last
// value written to VPD_CAP_ADDR and VPD_CAP_DATA, and the words written (so
// that a read-back finds them): a read request (flag clear) is answered with
// the flag set, a write request (flag set) with the flag clear; the status
// word is never written, so it reads idle (0).
uint32_t g_null_select = 0;
uint32_t g_null_vpd_addr = 0;
uint32_t g_null_data = 0;
uint32_t g_null_words[SEEPROM_SIZE / 4];

int null_scan(std::vector<pci_function>&, std::string&) { return 0; }
int null_lock(const pci_function&, std::string&) { return -1; }
int null_map(uint64_t, pci_dev_iomem&, std::string&) { return 0; }
void null_unmap(pci_dev_iomem&) {}

uint32_t null_read32(const pci_dev_iomem&, uint32_t offset) {
    if (offset == PCIE_CFG_SPACE_DATA && g_null_select == VPD_CAP_ADDR)
        return ((g_null_vpd_addr & VPD_FLAG) ^ VPD_FLAG) | 0x03;  // capability ID in bits 0-7
    if (offset == PCIE_CFG_SPACE_DATA && g_null_select == VPD_CAP_DATA)
        return g_null_data;
    return 0;
}

void null_write32(const pci_dev_iomem&, uint32_t offset, uint32_t value) {
    if (offset == PCIE_CFG_SPACE_REQ) {
        g_null_select = value & 0xFFF;
    } else if (offset == PCIE_CFG_SPACE_DATA && g_null_select == VPD_CAP_DATA) {
        g_null_data = value;
    } else if (offset == PCIE_CFG_SPACE_DATA && g_null_select == VPD_CAP_ADDR) {
        g_null_vpd_addr = value;
        uint32_t& word = g_null_words[(value >> 18) & (SEEPROM_SIZE / 4 - 1)];
        if (value & VPD_FLAG)
            word = g_null_data;
        else
            g_null_data = word;
    }
}

// The host's clock, as the real platform reads it.
int64_t null_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const platform_ops null_platform = {
    "null", null_scan, null_lock, null_map, null_unmap, null_read32, null_write32, null_clock_us, [] { return static_cast<const char*>(nullptr); },
    nullptr, nullptr,
};

// ---- platform selection -------------------------------------------------
enum which { SIM = 0, NUL = 1 };

void use_platform(int which) {
    if (which == SIM) {
        sim_config cfg;
        cfg.write_cycle_us = 0;
        std::string err;
        if (sim_install(cfg, err) != 0)
            std::abort();
    } else {
        g_platform = &null_platform;
    }
}

void set_words(benchmark::State& state, int64_t words_per_iteration) {
    state.counters["words/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * words_per_iteration), benchmark::Counter::kIsRate);
    state.SetLabel(state.range(0) == SIM ? "simulated adapter" : "null platform");
}

constexpr int64_t WORDS = SEEPROM_SIZE / 4;

void BM_se_read(benchmark::State& state) {
    use_platform(static_cast<int>(state.range(0)));
    uint32_t a = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(se_read(a));
        a = (a + 4) & 0x7FFF;
    }
    set_words(state, 1);
}

void BM_se_write(benchmark::State& state) {
    use_platform(static_cast<int>(state.range(0)));
    uint32_t a = 0x400;
    for (auto _ : state) {
        se_write(a, 0xA5A5A5A5u ^ a);
        a = a + 4 >= STATUS_WORD_ADDR ? 0x400 : a + 4;
    }
    set_words(state, 1);
}

void BM_read_seeprom(benchmark::State& state) {
    use_platform(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    for (auto _ : state) {
        read_seeprom(buf.data(), 0, SEEPROM_SIZE);
        benchmark::DoNotOptimize(buf.data());
    }
    set_words(state, WORDS);
}

// Returns -2 (a whole EEPROM written in under 4 s cannot be real), which is
// not printed here; the words are written all the same.
void BM_write_seeprom(benchmark::State& state) {
    use_platform(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    fill_sample_board(buf.data());
    for (auto _ : state)
        benchmark::DoNotOptimize(write_seeprom(buf.data(), 0, SEEPROM_SIZE));
    set_words(state, WORDS);
}

// -changed of an image the EEPROM already holds: the compare alone.
void BM_write_seeprom_changed(benchmark::State& state) {
    use_platform(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    read_seeprom(buf.data(), 0, SEEPROM_SIZE);
    uint32_t written = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(write_seeprom(buf.data(), 0, SEEPROM_SIZE, buf.data(), &written));
    if (written != 0)
        state.SkipWithError("words were written");
    set_words(state, WORDS);
}

// Against the EEPROM's own contents, so that no mismatch line is printed.
void BM_verify_seeprom(benchmark::State& state) {
    use_platform(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    read_seeprom(buf.data(), 0, SEEPROM_SIZE);
    for (auto _ : state)
        if (verify_seeprom(buf.data(), 0, SEEPROM_SIZE) != 0)
            state.SkipWithError("verify found a difference");
    set_words(state, WORDS);
}

void BM_render_dump(benchmark::State& state) {
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    fill_sample_board(buf.data());
    for (auto _ : state)
        benchmark::DoNotOptimize(render_dump(buf.data(), 0, SEEPROM_SIZE));
    state.SetBytesProcessed(state.iterations() * int64_t{SEEPROM_SIZE});
}

// The vpd check's own work on a whole image: the 14 copies decoded and
// their identity compared, no rendering.
void BM_vpd_report(benchmark::State& state) {
    std::vector<uint8_t> buf(SEEPROM_SIZE);
    fill_sample_board(buf.data());
    for (auto _ : state)
        benchmark::DoNotOptimize(make_vpd_report(buf.data() + VPD_AREA_START, VPD_COPIES_IN_IMAGE, VPD_AREA_START));
}

BENCHMARK(BM_se_read)->Arg(SIM)->Arg(NUL);
BENCHMARK(BM_se_write)->Arg(SIM)->Arg(NUL);
BENCHMARK(BM_read_seeprom)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_write_seeprom)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_write_seeprom_changed)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_verify_seeprom)->Arg(SIM)->Arg(NUL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_render_dump)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_vpd_report)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
