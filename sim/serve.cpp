// romwright-sim --serve: the simulated adapter answering the register
// accesses of a device that lives in another process, such as the PCI
// function that tests/kernel/qemu/ adds to a virtual machine.  The program
// then runs unchanged inside that machine (libpci, /dev/mem, its own
// clock), and this process is its adapter.
//
// Wire protocol, over a SOCK_STREAM UNIX socket.  Every message is 12
// bytes: three 32-bit little-endian fields
//
//     op      0 READ, 1 WRITE: a register in BAR0;
//             2 CONFIG_READ, 3 CONFIG_WRITE: a dword of the PCI VPD
//             capability in configuration space
//     offset  READ, WRITE: offset in the 0x40000-byte register window
//             (rounded down to a multiple of 4, as a 32-bit access sees it);
//             CONFIG_*: 0xD0 (ID, next pointer, VPD address in bits 16-30,
//             flag in bit 31) or 0xD4 (data)
//     value   the value written (the numeric value); reads: 0
//
// A read is answered with one 12-byte message: its op, the same offset, the
// value read.  A write is not answered (posted); the stream keeps all
// accesses in order, so a read after a write sees its effect.  The VPD
// capability is the one the register backdoor reaches: a transfer started
// either way is seen both ways.  Any other op, or a CONFIG_* op at any
// other offset, ends the service.
//
// The server listens at SOCKET, serves one connection, and ends with
// status 0 when its client closes it or on SIGINT/SIGTERM; 2 on any problem
// of its own (socket, malformed message).  SOCKET appears only once it
// accepts connections, so a script may wait for it to exist.  The clock is
// the host's: a write cycle of --write-cycle-ms lasts that long in real time,
// and the EEPROM's status word reads busy until it has passed.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "sim/sim_adapter.h"

namespace {

constexpr uint32_t OP_READ = 0;
constexpr uint32_t OP_WRITE = 1;
constexpr uint32_t OP_CONFIG_READ = 2;
constexpr uint32_t OP_CONFIG_WRITE = 3;
constexpr size_t MESSAGE = 12;

// Set by the SIGINT/SIGTERM handler: the service ends.
volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

uint32_t get_le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void put_le32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

[[noreturn]] void fail(const std::string& text) { throw failure(error_kind::tool_usage, "romwright-sim: " + text); }
[[noreturn]] void fail_errno(const std::string& what) { fail(what + ": " + std::strerror(errno) + "\n"); }

// Listens at path, which appears only once listen() has succeeded.
int listen_at(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            fail("--serve " + path + ": exists and is not a socket\n");
        unlink(path.c_str());  // left behind by an earlier server
    }
    const std::string temp = path + ".binding";
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (temp.size() >= sizeof sa.sun_path)
        fail("--serve " + path + ": the socket path is too long\n");
    std::memcpy(sa.sun_path, temp.c_str(), temp.size() + 1);
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0)
        fail_errno("socket");
    unlink(temp.c_str());
    if (bind(fd.fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0 || listen(fd.fd, 1) != 0 ||
        rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        errno = e;
        fail_errno("--serve " + path);
    }
    return fd.release();
}

bool send_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR && !g_stop)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Answers one connection until its client closes it.
void serve_connection(int fd, sim_adapter& sim) {
    unsigned char buf[MESSAGE * 512];
    size_t have = 0;
    for (;;) {
        ssize_t k = recv(fd, buf + have, sizeof buf - have, 0);
        if (k < 0 && errno == EINTR) {
            if (g_stop)
                return;
            continue;
        }
        if (k < 0)
            fail_errno("--serve: receive");
        if (k == 0) {
            if (have == 0)
                return;
            fail("--serve: the client closed the connection within a message\n");
        }
        have += static_cast<size_t>(k);
        size_t used = 0;
        for (; have - used >= MESSAGE; used += MESSAGE) {
            const unsigned char* m = buf + used;
            const uint32_t op = get_le32(m), offset = get_le32(m + 4), value = get_le32(m + 8);
            const bool config = op == OP_CONFIG_READ || op == OP_CONFIG_WRITE;
            if (config && offset != sim_hw::CFG_VPD_ADDR && offset != sim_hw::CFG_VPD_DATA)
                fail(strprintf("--serve: configuration offset 0x%x is not the VPD capability's\n", offset));
            if (op == OP_WRITE) {
                sim.write(offset, value);
            } else if (op == OP_CONFIG_WRITE) {
                sim.write_config(offset, value);
            } else if (op == OP_READ || op == OP_CONFIG_READ) {
                unsigned char reply[MESSAGE];
                put_le32(reply, op);
                put_le32(reply + 4, offset);
                put_le32(reply + 8, op == OP_READ ? sim.read(offset) : sim.read_config(offset));
                if (!send_all(fd, reply, sizeof reply))
                    fail_errno("--serve: send");
            } else {
                fail("--serve: unknown message op " + std::to_string(op) + "\n");
            }
        }
        std::memmove(buf, buf + used, have - used);
        have -= used;
    }
}

}  // namespace

void sim_serve(const sim_config& given) {
    // What acts on the simulated host (its PCI functions, signals to the
    // program's own process) has no meaning for a device elsewhere.
    if (!given.devices.empty() || given.memory_off || given.raise_signal != 0)
        fail("--serve takes none of --device, --memory-off, --raise: the PCI function is the client's\n");
    if (!given.driver.empty() || !given.lockdown.empty())
        fail("--serve takes neither --driver nor --lockdown: the kernel is the client's\n");
    sim_config cfg = given;
    cfg.real_clock = true;
    sim_adapter model(cfg);

    struct sigaction sa {};
    sa.sa_handler = on_stop;  // no SA_RESTART: a blocked accept/recv returns
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    unique_fd client(-1);
    int accept_error = 0;
    {
        unique_fd listener(listen_at(cfg.serve_path));
        while (client.fd < 0 && !g_stop) {
            client.fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client.fd < 0 && errno != EINTR) {
                accept_error = errno;
                break;
            }
        }
    }
    unlink(cfg.serve_path.c_str());
    if (accept_error) {
        errno = accept_error;
        fail_errno("--serve: accept");
    }
    if (client.fd >= 0)
        serve_connection(client.fd, model);
}
