// Test support shared by the test tiers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adapter/adapter.h"
#include "romwright/render.h"
#include "sim/sim_adapter.h"

// A scratch directory, removed with everything in it.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);

// Runs fn with standard output sent to a file; returns what it printed.
std::string capture_stdout(const std::function<void()>& fn);

// In-process simulated adapter, installed as the platform, trace in memory.
// The EEPROM holds the sample board unless the config says otherwise.
class sim_test : public ::testing::Test {
protected:
    void SetUp() override { open_sim(sim_config{}); }
    void TearDown() override {
        session_.reset();
        platform_.reset();
    }
    // A new simulated host of cfg in place of the last one.
    void open_sim(sim_config cfg);
    sim_platform& platform() { return *platform_; }
    // Its shared adapter model.
    sim_adapter& model() { return platform_->model(); }
    // A session on the first simulated function, opened without a register
    // access; what it reports goes to the text observer (standard output).
    adapter_session& session();
    std::vector<sim_access>& trace() { return model().trace(); }
    uint8_t* eeprom() { return model().eeprom(); }
    // Runs romwright's main over the simulator with these words (program
    // name added); returns the status, stdout in *out.
    int run_main(const std::vector<std::string>& words, std::string* out = nullptr);

private:
    std::unique_ptr<sim_platform> platform_;
    std::unique_ptr<observer> observer_ = make_text_observer();
    std::unique_ptr<adapter_session> session_;
};

// The result of a subprocess.
struct run_result {
    int status = -1;     // exit status, or 128 + signal when killed
    bool signaled = false;
    std::string out;     // standard output
    std::string err;     // standard error
};

// The words that start program with args: ROMWRIGHT_SIM_EMULATOR first
// when it is set.
std::vector<std::string> program_words(const std::string& program, const std::vector<std::string>& args);
// The argument vector execv takes, pointing into words (which must outlive
// it and not change); made before fork, because a child of a process with
// threads must not allocate: another thread may have held the allocator's
// lock at the fork, and the child would wait for it forever.
std::vector<char*> argv_of(std::vector<std::string>& words);
// In a child process: becomes the program of argv (exit 127 when it cannot
// be started); allocates nothing.
[[noreturn]] void exec_argv(const std::vector<char*>& argv);

// Runs program with args (no shell) in directory cwd (empty: current).
// ROMWRIGHT_SIM_EMULATOR, when set, is put in front of the command (a
// qemu-user binary for cross builds, where no binfmt handler runs target
// binaries directly).
// reader_gone: the read end of the program's standard output is closed
// before the program starts, as when a pipeline's reader has quit.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd = std::string(), bool reader_gone = false);

// While it lives, a run this thread starts is killed after seconds instead
// of the usual limit: a run that must end at once fails its test quickly
// when it hangs.
class run_time_limit {
public:
    explicit run_time_limit(int seconds);
    ~run_time_limit();
    run_time_limit(const run_time_limit&) = delete;
    run_time_limit& operator=(const run_time_limit&) = delete;

private:
    int saved_;
};

// The programs under test: this build's, or those that ROMWRIGHT_SIM and
// ROMWRIGHT_VPD name, when another build's command tests run this tree's
// programs (the sanitized and the cross builds run the native driver).
const char* sim_path();
const char* vpd_path();

// Runs romwright-sim with its own options, "--", then romwright's words.
run_result run_sim(const std::vector<std::string>& sim_options, const std::vector<std::string>& words,
                   const std::string& cwd = std::string(), bool reader_gone = false);

// The usage text as the program prints it.
const std::string& expected_usage();

// The sample board's 32768 bytes.
std::vector<uint8_t> sample_board();
