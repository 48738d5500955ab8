#include "support/support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "romwright/front_end.h"

temp_dir::temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/romwright-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

temp_dir::~temp_dir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string read_text(const std::string& path) {
    std::vector<uint8_t> b = read_file(path);
    return std::string(b.begin(), b.end());
}

std::string capture_stdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    char name[] = "/tmp/romwright-stdout-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    try {
        fn();
    } catch (...) {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(fd);
        unlink(name);
        throw;
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = read_text(name);
    unlink(name);
    return text;
}

void sim_test::open_sim(sim_config cfg) {
    cfg.trace_memory = true;
    session_.reset();
    platform_.reset();
    try {
        platform_ = std::make_unique<sim_platform>(cfg);
    } catch (const failure& e) {
        FAIL() << e.what();
    }
}

adapter_session& sim_test::session() {
    if (!session_) {
        const pci_function fn = model().devices().front();
        session_ = std::make_unique<adapter_session>(*platform_, platform_->where(), fn, adapter_lock(),
                                                     std::get<std::unique_ptr<register_window>>(platform_->map(fn)),
                                                     *observer_);
    }
    return *session_;
}

int sim_test::run_main(const std::vector<std::string>& words, std::string* out) {
    std::vector<std::vector<char>> storage;
    storage.push_back({'r', 'o', 'm', 'w', 'r', 'i', 'g', 'h', 't', '\0'});
    for (const std::string& w : words) {
        storage.emplace_back(w.begin(), w.end());
        storage.back().push_back('\0');
    }
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    int status = -1;
    std::string text = capture_stdout([&] { status = romwright_main(*platform_, platform_->where(), static_cast<int>(argv.size()) - 1, argv.data()); });
    if (out)
        *out = text;
    return status;
}

namespace {

// Seconds a program run by a test may take before it is killed: a run that
// hangs fails its test, and the others still run.
constexpr int k_run_limit_seconds = 240;
thread_local int t_run_limit_seconds = k_run_limit_seconds;

// Reads fd to its end; kills pid when that takes longer than the limit
// (and says so in *note).
std::string drain(int fd, pid_t pid, std::string* note) {
    std::string s;
    char buf[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(t_run_limit_seconds);
    bool killed = false;
    for (;;) {
        if (!killed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd p = {fd, POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                kill(pid, SIGKILL);
                killed = true;
                *note = "test support: the run did not end within " + std::to_string(t_run_limit_seconds) +
                        " s and was killed\n";
                continue;
            }
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            s.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return s;
}

}  // namespace

run_time_limit::run_time_limit(int seconds) : saved_(t_run_limit_seconds) { t_run_limit_seconds = seconds; }
run_time_limit::~run_time_limit() { t_run_limit_seconds = saved_; }

std::vector<std::string> program_words(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> all;
    if (const char* emu = std::getenv("ROMWRIGHT_SIM_EMULATOR"); emu && *emu)
        all.push_back(emu);
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    return argv;
}

void exec_argv(const std::vector<char*>& argv) {
    execvp(argv[0], argv.data());
    _exit(127);
}

run_result run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                       bool reader_gone) {
    std::vector<std::string> all = program_words(program, args);

    // Standard error goes to a file so that neither pipe can fill up while
    // the other is read.
    char err_name[] = "/tmp/romwright-stderr-XXXXXX";
    int err_fd = mkstemp(err_name);
    int out_pipe[2];
    if (err_fd < 0 || pipe(out_pipe) != 0)
        throw std::runtime_error("cannot set up a subprocess");
    std::vector<char*> argv = argv_of(all);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        exec_argv(argv);
    }
    close(out_pipe[1]);
    run_result r;
    std::string killed;
    if (!reader_gone)
        r.out = drain(out_pipe[0], pid, &killed);
    close(out_pipe[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
        r.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        r.signaled = true;
        r.status = 128 + WTERMSIG(wstatus);
    }
    close(err_fd);
    r.err = read_text(err_name) + killed;
    unlink(err_name);
    return r;
}

namespace {

const char* from_environment(const char* name, const char* built) {
    const char* v = std::getenv(name);
    return v && *v ? v : built;
}

}  // namespace

const char* sim_path() { return from_environment("ROMWRIGHT_SIM", ROMWRIGHT_SIM_PATH); }
const char* vpd_path() { return from_environment("ROMWRIGHT_VPD", ROMWRIGHT_VPD_PATH); }

run_result run_sim(const std::vector<std::string>& sim_options, const std::vector<std::string>& words,
                   const std::string& cwd, bool reader_gone) {
    std::vector<std::string> args = sim_options;
    args.push_back("--");
    args.insert(args.end(), words.begin(), words.end());
    return run_program(sim_path(), args, cwd, reader_gone);
}

const std::string& expected_usage() {
    static const std::string text = read_text(std::string(ROMWRIGHT_TEST_DATA) + "/usage.txt");
    return text;
}

std::vector<uint8_t> sample_board() {
    std::vector<uint8_t> b(SIM_EEPROM_SIZE);
    fill_sample_board(b.data());
    return b;
}
