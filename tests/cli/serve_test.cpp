// romwright-sim --serve: the register model over its socket protocol, as
// the kernel test's QEMU device uses it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "cli/cli_helpers.h"

namespace {

// Register facts as the model has them, apart from the program's own.
using namespace sim_hw;

using namespace cli;
using clock_type = std::chrono::steady_clock;

// A server started in the background, and one client connection to it.
class server {
public:
    server(const std::string& sock, const std::vector<std::string>& opts) : sock_(sock) {
        std::vector<std::string> args = {"--serve", sock_};
        args.insert(args.end(), opts.begin(), opts.end());
        std::vector<std::string> all = program_words(sim_path(), args);
        std::vector<char*> argv = argv_of(all);
        pid_ = fork();
        if (pid_ == 0)
            exec_argv(argv);
        struct stat st;
        for (int i = 0; i < 200 && stat(sock_.c_str(), &st) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", sock_.c_str());
        connected_ = connect(fd_, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~server() {
        if (fd_ >= 0)
            close(fd_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool connected() const { return connected_; }
    void send(uint32_t op, uint32_t offset, uint32_t value) {
        uint8_t m[12];
        for (int i = 0; i < 4; ++i) {
            m[i] = static_cast<uint8_t>(op >> (8 * i));
            m[4 + i] = static_cast<uint8_t>(offset >> (8 * i));
            m[8 + i] = static_cast<uint8_t>(value >> (8 * i));
        }
        ASSERT_EQ(::send(fd_, m, sizeof m, MSG_NOSIGNAL), 12);
    }
    void write(uint32_t offset, uint32_t value) { send(1, offset, value); }
    // The answer to a read (op 0, or 2 for a configuration dword): its
    // three fields, as sent.
    std::vector<uint32_t> read_message(uint32_t offset, uint32_t op = 0) {
        send(op, offset, 0);
        uint8_t m[12];
        size_t got = 0;
        while (got < sizeof m) {
            ssize_t k = recv(fd_, m + got, sizeof m - got, 0);
            if (k <= 0)
                return {};
            got += static_cast<size_t>(k);
        }
        std::vector<uint32_t> v(3, 0);
        for (int f = 0; f < 3; ++f)
            for (int i = 3; i >= 0; --i)
                v[f] = v[f] << 8 | m[4 * f + i];
        return v;
    }
    uint32_t read(uint32_t offset) {
        std::vector<uint32_t> v = read_message(offset);
        return v.size() == 3 ? v[2] : 0xDEADBEEF;
    }
    // A configuration dword through the request/data pair.
    void write_config(uint32_t offset, uint32_t value) {
        write(REG_CFG_REQUEST, CFG_REQUEST_KEY | offset);
        write(REG_CFG_DATA, value);
    }
    uint32_t read_config(uint32_t offset) {
        write(REG_CFG_REQUEST, CFG_REQUEST_KEY | offset);
        return read(REG_CFG_DATA);
    }
    uint32_t eeprom_status() {
        write_config(CFG_VPD_ADDR, vpd_address_of(EEPROM_STATUS_ADDR) << VPD_ADDRESS_SHIFT);
        read_config(CFG_VPD_ADDR);
        return read_config(CFG_VPD_DATA);
    }
    // Closes the connection and returns the server's exit status.
    int finish() {
        close(fd_);
        fd_ = -1;
        int status = -1;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    std::string sock_;
    pid_t pid_ = -1;
    int fd_ = -1;
    bool connected_ = false;
};

TEST(serve, answers_reads_and_takes_writes_on_the_real_clock) {
    board b;
    const int cycle_ms = 300;
    server s(b.file("s.sock"),
             {"--eeprom", b.eeprom(), "--trace", b.trace(), "--write-cycle-ms", std::to_string(cycle_ms)});
    ASSERT_TRUE(s.connected());
    // A read is answered with op 0, its offset and the register's value.
    EXPECT_EQ(s.read_message(REG_VPD_TIMER), (std::vector<uint32_t>{0, REG_VPD_TIMER, SIM_VPD_TIMER_POWER_ON}));

    // One EEPROM word written through the VPD capability, as the word port
    // writes it.
    const uint32_t address = 0x100;
    s.write_config(CFG_VPD_DATA, 0x11223344);
    const clock_type::time_point written = clock_type::now();
    s.write_config(CFG_VPD_ADDR, vpd_address_of(address) << VPD_ADDRESS_SHIFT | sim_hw::VPD_FLAG);
    EXPECT_EQ(s.read_config(CFG_VPD_ADDR) >> 31, 0u);
    // Busy until the write cycle has passed in real time, then idle.
    EXPECT_EQ(s.eeprom_status(), 1u);
    for (int polls = 0; s.eeprom_status() != 0 && polls < 1000000; ++polls) {
    }
    EXPECT_GE(clock_type::now() - written, std::chrono::milliseconds(cycle_ms));
    std::vector<uint8_t> expected = sample_board();
    const uint8_t word[4] = {0x44, 0x33, 0x22, 0x11};
    std::copy(word, word + 4, expected.begin() + address);
    EXPECT_EQ(b.contents(), expected);

    s.write_config(CFG_VPD_ADDR, vpd_address_of(address) << VPD_ADDRESS_SHIFT);
    EXPECT_EQ(s.read_config(CFG_VPD_ADDR) >> 31, 1u);
    EXPECT_EQ(s.read_config(CFG_VPD_DATA), 0x11223344u);
    EXPECT_EQ(s.finish(), 0);
    EXPECT_EQ(read_text(b.trace()).substr(0, 42), "R 0x03018 0x01f40c35\nW 0x03060 0x4f0000d4\n");
}

// The device's own configuration cycles (ops 2 and 3) reach the VPD
// capability the backdoor reaches: a transfer started one way is finished
// and read the other way.
TEST(serve, configuration_cycles_reach_the_backdoor_vpd_capability) {
    board b;
    server s(b.file("s.sock"), {"--eeprom", b.eeprom()});
    ASSERT_TRUE(s.connected());
    const std::vector<uint8_t> image = sample_board();
    const uint32_t address = 0x400;  // VPD address 0
    const uint32_t expected = uint32_t{image[address]} | uint32_t{image[address + 1]} << 8 |
                              uint32_t{image[address + 2]} << 16 | uint32_t{image[address + 3]} << 24;
    s.send(3, CFG_VPD_ADDR, vpd_address_of(address) << VPD_ADDRESS_SHIFT);
    EXPECT_EQ(s.read_config(CFG_VPD_ADDR), sim_hw::VPD_FLAG | vpd_address_of(address) << VPD_ADDRESS_SHIFT | VPD_CAP_ID);
    EXPECT_EQ(s.read_message(CFG_VPD_DATA, 2), (std::vector<uint32_t>{2, CFG_VPD_DATA, expected}));

    s.write_config(CFG_VPD_DATA, 0xA5A5A5A5);
    s.write_config(CFG_VPD_ADDR, vpd_address_of(0x100) << VPD_ADDRESS_SHIFT | sim_hw::VPD_FLAG);
    EXPECT_EQ(s.read_message(CFG_VPD_ADDR, 2)[2] & sim_hw::VPD_FLAG, 0u);  // write taken
    s.send(3, CFG_VPD_DATA, 0x5A5A5A5A);
    EXPECT_EQ(s.read_config(CFG_VPD_DATA), 0x5A5A5A5Au);
    EXPECT_EQ(s.finish(), 0);
    std::vector<uint8_t> after = image;
    std::fill(after.begin() + 0x100, after.begin() + 0x104, 0xA5);
    EXPECT_EQ(b.contents(), after);
}

TEST(serve, a_malformed_message_ends_the_service_with_status_2) {
    // An unknown op; a configuration op outside the VPD capability.
    for (const std::vector<uint32_t>& m : {std::vector<uint32_t>{7, 0, 0}, {2, 0x00, 0}, {3, 0x04, 0}}) {
        board b;
        server s(b.file("s.sock"), {"--eeprom", b.eeprom()});
        ASSERT_TRUE(s.connected());
        s.send(m[0], m[1], m[2]);
        EXPECT_EQ(s.finish(), 2) << m[0] << " " << m[1];
        EXPECT_EQ(b.contents(), sample_board());
    }
}

}  // namespace
