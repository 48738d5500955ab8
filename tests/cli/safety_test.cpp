// Register traffic and the safety rules end to end: the microprocessor held
// around every write, adapters that cannot be used or do not answer, and
// signals during a flash.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;

const char kDone[] = "Doing full chip reset...Done\n";

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The microprocessor released and the chip reset: the last three accesses.
const std::string kReleaseAndReset = "R 0x07b00 0x00000011\nW 0x07b00 0x00000010\nW 0x19428 0x00000003\n";

// The end of a (possibly very long) trace file, as long as kReleaseAndReset.
std::string trace_end(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg(), n = static_cast<std::streamoff>(kReleaseAndReset.size());
    in.seekg(size > n ? size - n : 0);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> init_image() {
    std::vector<uint8_t> init(0x400);
    for (size_t i = 0; i < init.size(); ++i)
        init[i] = static_cast<uint8_t>(0xFF - i);
    return init;
}

TEST(safety, dump_of_one_word_makes_exactly_these_accesses) {
    board b;
    run_result r = b.run({"-b", "04:00.0", "-len", "4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n0000:  52 57 2d 53" + std::string(36, ' ') + "  RW-S\n");
    // VPD timer off, one word read through the backdoor (VPD address
    // 0x7c00, flag ready at the first poll), the VPD timer put back.
    EXPECT_EQ(b.trace_text(),
              "R 0x03018 0x01f40c35\n"
              "W 0x03018 0x00000c35\n"
              "W 0x03060 0x4f0000d0\n"
              "W 0x03064 0x7c000000\n"
              "W 0x03060 0x4f0000d0\n"
              "R 0x03064 0xfc000003\n"
              "W 0x03060 0x4f0000d4\n"
              "R 0x03064 0x532d5752\n"
              "W 0x03018 0x01f40c35\n");
}

TEST(safety, write_holds_the_microprocessor_around_every_eeprom_write) {
    board b;
    write_file(b.file("init.bin"), init_image());
    ASSERT_EQ(b.run({"-b", "04:00.0", "write", "-finit:init.bin"}).status, 0);
    const std::vector<std::string> t = lines_of(b.trace_text());
    // EEPROM word writes are the VPD address dword written with the flag set.
    std::vector<size_t> writes, up_writes;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i - 1] == "W 0x03060 0x4f0000d0" && starts_with(t[i], "W 0x03064 0x") && t[i][12] >= '8')
            writes.push_back(i);
        if (starts_with(t[i], "W 0x07b00"))
            up_writes.push_back(i);
    }
    ASSERT_EQ(writes.size(), 256u);
    // Held once before the first write (power-on value 0x10), released once
    // after the last, then the chip reset ends the run.
    ASSERT_EQ(up_writes.size(), 2u);
    EXPECT_EQ(t[up_writes[0] - 1], "R 0x07b00 0x00000010");
    EXPECT_EQ(t[up_writes[0]], "W 0x07b00 0x00000011");
    EXPECT_LT(up_writes[0], writes.front());
    EXPECT_GT(up_writes[1], writes.back());
    EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
}

// Adapters that cannot be used, or do not answer: refused with the cause
// and the way on, status 1, the EEPROM and the image file as they were, and
// no register touched (or none written beyond the reads before a change);
// then the way on works.
TEST(safety, an_adapter_that_cannot_be_used_is_refused_with_the_way_on) {
    enum class touched { nothing, reads_only, anything };
    enum class lock { none, held, left };  // by another run: holding it, or gone
    struct refusal_case {
        const char* what;
        std::vector<std::string> sim_opts, words;
        int status;
        std::string out;  // standard output, whole; empty: not compared
        touched registers;
        bool eeprom_kept = true;
        lock other_run = lock::none;
    };
    const std::vector<std::string> two = {"--device", "0000:04:00.0", "--device", "0001:04:00.0"};
    const std::string state = "/sys/bus/pci/devices/0000:04:00.0/eeh_pe_state";
    const std::string frozen = "ERROR: the adapter did not answer at EEPROM address 0x0000: its VPD capability reads "
                               "all ones (slot frozen by the platform, or adapter gone)\n"
                               "The platform reports the slot frozen (" + state +
                               " reads \"0x00000000 0x00000001\"): thaw it with echo 1 > " + state +
                               " and run romwright again; if it stays frozen, remove the function and rescan the bus "
                               "(echo 1 > /sys/bus/pci/devices/0000:04:00.0/remove; echo 1 > /sys/bus/pci/rescan), "
                               "then run romwright again\n";
    const std::string cannot_map = "ERROR: cannot map the register window at 0x3fe080000000 through /dev/mem: "
                                   "Operation not permitted (root and a kernel that allows mapping device memory "
                                   "are needed)\n";
    const refusal_case cases[] = {
        {"not answering", {"--stall", "vpd"}, {"-b", "04:00.0", "-len", "4"}, 1,
         "ERROR: the adapter did not answer: the VPD read of EEPROM address 0x0000 did not complete within 2 "
         "seconds\n",
         touched::reads_only},
        {"frozen slot", {"--frozen"}, {"-b", "04:00.0", "-len", "4"}, 1, frozen, touched::reads_only},
        // Met while the EEPROM is read before a change, -nobackup or not:
        // before the image file or the microprocessor is touched.
        {"frozen slot before a write", {"--frozen"}, {"-b", "04:00.0", "write", "-f:img.bin"}, 1, frozen,
         touched::reads_only},
        {"frozen slot before a clear", {"--frozen"}, {"-b", "04:00.0", "-nobackup", "clearinit"}, 1, frozen,
         touched::reads_only},
        {"ambiguous address", two, {"-b", "04:00.0", "clearinit"}, 1,
         "ERROR: 2 PCI functions match -b 04:00.0:\n  0000:04:00.0\n  0001:04:00.0\n"
         "Name one with its domain, for example: -b 0000:04:00.0\n",
         touched::nothing},
        {"memory decoding off", {"--memory-off"}, {"-b", "0000:04:00.0", "clearinit"}, 1,
         "ERROR: memory decoding is off for the PCI function at 0000:04:00.0, so its registers cannot be reached; "
         "turn it on with: echo 1 > /sys/bus/pci/devices/0000:04:00.0/enable (or bind the adapter's driver)\n",
         touched::nothing},
        // A kernel that refuses /dev/mem, as distribution kernels for POWER
        // do while the adapter's driver holds its registers, or entirely
        // when locked down.
        {"a driver holds the registers", {"--driver", "rwnic"}, {"-b", "0000:04:00.0", "dump", "-len", "0x10"}, 1,
         cannot_map +
             "The driver rwnic is bound to 0000:04:00.0 and holds its registers, and this kernel (built with "
             "STRICT_DEVMEM and IO_STRICT_DEVMEM) refuses to map registers that a driver holds.\n"
             "To go on, unbind the driver (the adapter's port is out of service until it is bound back):\n"
             "  echo 0000:04:00.0 > /sys/bus/pci/drivers/rwnic/unbind\n"
             "run romwright again, then bind the driver back:\n"
             "  echo 0000:04:00.0 > /sys/bus/pci/drivers/rwnic/bind\n"
             "Or boot the kernel with the parameter iomem=relaxed, which lets /dev/mem map registers that a driver "
             "holds.\n",
         touched::nothing},
        {"locked down", {"--driver", "rwnic", "--lockdown", "integrity"},
         {"-b", "0000:04:00.0", "dump", "-len", "0x10"}, 1,
         "ERROR: cannot open /dev/mem: Operation not permitted (romwright must run as root, with the right to map "
         "device memory)\n"
         "The kernel is locked down (lockdown mode integrity in /sys/kernel/security/lockdown, as secure boot may set "
         "it): the lockdown closes /dev/mem entirely, so neither unbinding a driver nor iomem=relaxed helps; "
         "romwright needs a kernel that is not locked down.\n",
         touched::nothing},
        {"another run holds the adapter", {}, {"-b", "04:00.0", "clearinit"}, 1,
         "ERROR: the adapter at 0000:04:00.0 is in use by another romwright run; try again when it has finished\n",
         touched::nothing, true, lock::held},
        // The ways on.
        {"the address with its domain", two, {"-b", "0001:04:00.0", "clearinit"}, 0, "", touched::anything, false},
        {"lockdown mode none", {"--lockdown", "none"}, {"-b", "0000:04:00.0", "dump", "-len", "0x10"}, 0, "",
         touched::anything},
        {"list maps nothing", {"--driver", "rwnic"}, {"list"}, 0,
         "0000:04:00.0  1e2c:8001  BAR0 0x3fe080000000  driver rwnic  not in use\n", touched::nothing},
        {"the other run gone", {}, {"-b", "04:00.0", "-len", "4"}, 0, "", touched::anything, true, lock::left},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.what);
        board b;
        write_file(b.file("img.bin"), changed_full_image());
        int fd = -1;
        if (c.other_run != lock::none) {
            mkdir(b.file("locks").c_str(), 0700);
            fd = open(b.lock().c_str(), O_RDWR | O_CREAT, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(flock(fd, LOCK_EX), 0);
            if (c.other_run == lock::left)
                close(fd);
        }
        const run_result r = b.run(c.words, c.sim_opts);
        if (c.other_run == lock::held)
            close(fd);
        EXPECT_EQ(r.status, c.status) << r.out;
        if (!c.out.empty()) {
            EXPECT_EQ(r.out, c.out);
        }
        const std::string trace = b.trace_text();
        if (c.registers == touched::nothing) {
            EXPECT_EQ(trace, "");
        }
        if (c.registers == touched::reads_only) {
            EXPECT_EQ(trace.find("W 0x07b00"), std::string::npos);  // never held
            EXPECT_EQ(trace.find("W 0x19428"), std::string::npos);  // no chip reset
        }
        EXPECT_EQ(b.contents() == sample_board(), c.eeprom_kept);
        EXPECT_EQ(read_file(b.file("img.bin")), changed_full_image());
    }
}

// A failure in the held section is printed before the release; a signal that
// arrived meanwhile is reported without hiding the failure or its status.
TEST(safety, a_stalled_write_prints_its_error_then_releases_the_microprocessor) {
    const std::string error = "ERROR: the adapter did not answer: the EEPROM still reported busy 2 seconds after the "
                              "write to EEPROM address 0x0000\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, ""},
        {{"--raise", "TERM:1"},
         "SIGTERM (signal 15) arrived during the command, which failed; the adapter reset; stopping\n"},
    };
    for (const auto& [raise, signal_line] : cases) {
        board b;
        write_file(b.file("init.bin"), init_image());
        std::vector<std::string> opts = {"--stall", "status"};
        opts.insert(opts.end(), raise.begin(), raise.end());
        run_result r = b.run({"-b", "04:00.0", "write", "-finit:init.bin"}, opts);
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, identity_lines() + "Read 0x400 bytes from file init.bin\n" + error + kDone + signal_line);
        EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
    }
}

TEST(safety, a_reader_that_goes_away_does_not_stop_a_flash) {
    // The first output reaches the pipe with the first progress line, in the
    // middle of the flash, when nobody reads it any more.
    board b;
    const std::vector<uint8_t> before = b.contents();
    write_file(b.file("img.bin"), changed_full_image());
    run_result r = run_sim({"--eeprom", b.eeprom(), "--trace", b.trace()}, {"-b", "04:00.0", "write", "-f:img.bin"},
                           b.file(""), true);
    // The whole image is written and the chip reset; the output that was
    // lost makes the run a failure.
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(lines_of(r.err).back(), "romwright: standard output could not be written");
    EXPECT_EQ(b.contents(), flashed(with_board_identity(changed_full_image()), before));
    EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
}

TEST(safety, a_signal_during_a_flash_is_acted_on_after_the_chip_reset) {
    struct signal_case {
        std::string raise, name;
        int status;
    };
    const std::vector<signal_case> cases = {{"TERM:5", "SIGTERM (signal 15)", 143},
                                            {"INT:200", "SIGINT (signal 2)", 130},
                                            {"HUP:1", "SIGHUP (signal 1)", 129},
                                            {"USR2:3", "SIGUSR2 (signal " + std::to_string(SIGUSR2) + ")",
                                             128 + SIGUSR2},
                                            {"XFSZ:256", "SIGXFSZ (signal " + std::to_string(SIGXFSZ) + ")",
                                             128 + SIGXFSZ}};
    for (const signal_case& c : cases) {
        SCOPED_TRACE(c.raise);
        board b;
        write_file(b.file("init.bin"), init_image());
        run_result r = b.run({"-b", "04:00.0", "write", "-finit:init.bin"}, {"--raise", c.raise});
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, c.status);
        const std::string normal = identity_lines() + "Read 0x400 bytes from file init.bin\n" +
                                   "Wrote those bytes to serial eeprom starting at 0x0\n" + kDone;
        ASSERT_TRUE(starts_with(r.out, normal)) << r.out;
        const std::string last = r.out.substr(normal.size());
        EXPECT_TRUE(starts_with(last, "Interrupted by " + c.name + ": ")) << last;
        EXPECT_EQ(lines_of(last).size(), 1u);
        // The whole image was written all the same.
        EXPECT_EQ(slice(b.contents(), 0, 0x400), init_image());
        EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
    }

    // A dump writes no word, so the signal is never sent.
    board b;
    run_result r = b.run({"-b", "04:00.0", "-len", "4"}, {"--raise", "TERM:1"});
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n0000:  52 57 2d 53" + std::string(36, ' ') + "  RW-S\n");
}

// Starts romwright-sim in dir (behind ROMWRIGHT_SIM_EMULATOR when set) with
// standard output and standard error going to the files named; returns its
// process id.
pid_t spawn_sim(const std::string& dir, const std::vector<std::string>& sim_args, const std::string& out_path,
                const std::string& err_path) {
    std::vector<std::string> all = program_words(sim_path(), sim_args);
    std::vector<char*> argv = argv_of(all);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
            chdir(dir.c_str()) != 0)
            _exit(126);
        exec_argv(argv);
    }
    return pid;
}

// Waits for the process; out_path empty: its output is not read back.
run_result wait_for(pid_t pid, const std::string& out_path, const std::string& err_path) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run_result r;
    r.signaled = WIFSIGNALED(wstatus);
    r.status = r.signaled ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    r.out = out_path.empty() ? std::string() : read_text(out_path);
    r.err = read_text(err_path);
    return r;
}

TEST(safety, output_that_cannot_be_written_is_a_failure) {
    board b;
    write_file(b.file("init.bin"), init_image());
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"-b", "04:00.0"}, {"-b", "04:00.0", "write", "-finit:init.bin"}}) {
        SCOPED_TRACE(words.back());
        std::vector<std::string> args = {"--eeprom", b.eeprom(), "--trace", b.trace(), "--"};
        args.insert(args.end(), words.begin(), words.end());
        run_result r = wait_for(spawn_sim(b.file(""), args, "/dev/full", b.file("err.txt")), "", b.file("err.txt"));
        EXPECT_EQ(r.status, 1);
        // The last note; the cause is known only when the last flush is what
        // failed.
        ASSERT_FALSE(r.err.empty());
        EXPECT_TRUE(starts_with(lines_of(r.err).back(), "romwright: standard output could not be written")) << r.err;
    }
    // The write went through all the same, the adapter released.
    EXPECT_EQ(slice(b.contents(), 0, 0x400), init_image());
    EXPECT_EQ(trace_end(b.trace()), kReleaseAndReset);
}

// A real kill from outside while the microprocessor is held.  The register
// trace goes into a FIFO that the test reads: once the hold shows in it the
// test stops reading, so the simulator stops at a trace write in the middle
// of the flash (a full image makes far more trace than the FIFO and the
// trace buffer hold), and the signal arrives there.
TEST(safety, a_real_kill_during_a_flash_is_acted_on_after_the_chip_reset) {
    std::vector<std::pair<int, std::string>> signals = {
        {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"}, {SIGVTALRM, "SIGVTALRM"},
        {SIGPROF, "SIGPROF"},     {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}, {SIGIO, "SIGIO"},
        {SIGPWR, "SIGPWR"},       {SIGTERM, "SIGTERM"},
#ifdef SIGSTKFLT
        {SIGSTKFLT, "SIGSTKFLT"},
#endif
    };
    for (const auto& [sig, name] : signals) {
        SCOPED_TRACE(name);
        board b;
        const std::vector<uint8_t> before = b.contents();
        write_file(b.file("img.bin"), changed_full_image());
        const std::string fifo = b.file("trace.fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Read and write: opening never blocks and reading never ends.
        const int trace = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(trace, 0);
        const pid_t pid = spawn_sim(b.file(""),
                                    {"--eeprom", b.eeprom(), "--trace", fifo, "--", "-b", "04:00.0", "write",
                                     "-f:img.bin"},
                                    b.file("out.txt"), b.file("err.txt"));
        ASSERT_GT(pid, 0);
        std::string seen;
        char buf[65536];
        bool held = false;
        int wstatus = 0;
        do {
            struct pollfd p = {trace, POLLIN, 0};
            if (poll(&p, 1, held ? 10 : 20000) > 0) {
                const ssize_t n = read(trace, buf, sizeof buf);
                if (!held && n > 0) {
                    seen.append(buf, static_cast<size_t>(n));
                    held = seen.find("W 0x07b00 0x00000011\n") != std::string::npos;
                    if (held) {
                        EXPECT_EQ(kill(pid, sig), 0);
                    }
                }
            } else if (!held) {
                ADD_FAILURE() << "the microprocessor was not held within 20 s";
                kill(pid, SIGKILL);
            }
        } while (waitpid(pid, &wstatus, WNOHANG) != pid);
        close(trace);
        EXPECT_TRUE(WIFEXITED(wstatus));
        EXPECT_EQ(WEXITSTATUS(wstatus), 128 + sig);
        const std::string out = read_text(b.file("out.txt"));
        ASSERT_NE(out.find("Wrote those"), std::string::npos) << out;
        EXPECT_EQ(out.substr(out.find("Wrote those")),
                  std::string("Wrote those bytes to serial eeprom starting at 0x0\n") + kDone + "Interrupted by " +
                      name + " (signal " + std::to_string(sig) +
                      "): the transfer was finished first, the adapter reset; stopping\n");
        EXPECT_EQ(b.contents(), flashed(with_board_identity(changed_full_image()), before));
    }
}

// The simulator's lock belongs to the EEPROM file, not to its name: a hard
// link to a file in use is locked out, and files of one name in two folders
// are two adapters.
TEST(safety, the_simulators_lock_follows_the_eeprom_file_not_its_name) {
    board b;
    ASSERT_EQ(link(b.eeprom().c_str(), b.file("hard.bin").c_str()), 0);
    mkdir(b.file("locks").c_str(), 0700);
    const int fd = open(b.lock().c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    run_result r = run_sim({"--eeprom", b.file("hard.bin")}, {"-b", "04:00.0", "clearinit"}, b.file(""));
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is in use by another romwright run"), std::string::npos) << r.out;
    EXPECT_EQ(b.contents(), sample_board());

    ASSERT_EQ(mkdir(b.file("a").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(b.file("c").c_str(), 0700), 0);
    r = b.run({"-b", "05:00.0", "-b", "06:00.0", "clearinit"},
              {"--device", "05:00.0=" + b.file("a/m.bin"), "--device", "06:00.0=" + b.file("c/m.bin")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(read_file(b.file("a/m.bin")), sample_board());
    EXPECT_NE(read_file(b.file("c/m.bin")), sample_board());
}

// An adapter that stalls on the host's clock is waited for asleep: the 2 s
// until the wait gives up cost the CPU next to nothing.
TEST(safety, a_stalled_adapter_in_real_time_is_waited_for_asleep) {
    board b;
    struct rusage before, after;
    getrusage(RUSAGE_CHILDREN, &before);
    const run_result r =
        run_sim({"--eeprom", b.eeprom(), "--real-time", "--stall", "vpd"}, {"-b", "04:00.0", "-len", "4"}, b.file(""));
    getrusage(RUSAGE_CHILDREN, &after);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("did not complete within 2 seconds"), std::string::npos) << r.out;
    auto seconds = [](const struct timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
                       seconds(before.ru_stime);
    EXPECT_LT(cpu, 0.4);
}

}  // namespace
