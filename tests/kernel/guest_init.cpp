// /init of the kernel test's guests: a POWER Linux kernel booted under
// qemu-system-ppc64 with nothing but this program, the real romwright and a
// plan in its initramfs.  It mounts what romwright needs, carries out the
// plan, sends every result to the host over the second console
// (/dev/hvc1) and powers the machine off.
//
// The plan (/plan), one action a line, words separated by blanks, '#'
// comments:
//   run TAG WORD...           /romwright WORD... in /work; its standard
//                             output, standard error and exit status are
//                             sent as TAG.out, TAG.err, TAG.status
//   decode DDDD:BB:SS.F off   clears the function's Memory Space bit (its
//                             command register, through sysfs)
//   enable DDDD:BB:SS.F       echo 1 > /sys/bus/pci/devices/.../enable
//   copy FILE OFFSET LENGTH NEWFILE   bytes of a file in /work into another
//   collect DIR PREFIX        sends every regular file in DIR as PREFIX/NAME
//   send FILE NAME            sends FILE (a sysfs file, say) as NAME; when it
//                             cannot be read, NAME.error holds why
//   bind DDDD:BB:SS.F DRIVER  binds the function to DRIVER through its
//                             driver_override (loading /DRIVER.ko first when
//                             the kernel has no such driver yet)
//   unbind DDDD:BB:SS.F       unbinds it and clears its driver_override
// At the end every regular file in /work is sent as work/NAME.
//
// The channel: lines of text.  "@@rw FILE NAME SIZE", the file's bytes in
// base64 lines, "@@rw END"; after the last file "@@rw DONE".  The host
// takes the run to have finished only when it sees DONE.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int g_channel = -1;

void say(const std::string& text) {
    std::string line = "kernel-test: " + text + "\n";
    if (write(1, line.data(), line.size()) < 0) {
    }
}

double seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

[[noreturn]] void power_off(const std::string& why) {
    if (!why.empty())
        say(why);
    sync();
    reboot(RB_POWER_OFF);
    for (;;)
        pause();
}

void put(const std::string& s) {
    const char* p = s.data();
    size_t n = s.size();
    while (n > 0) {
        ssize_t k = write(g_channel, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            power_off(std::string("cannot write to /dev/hvc1: ") + std::strerror(errno));
        p += k;
        n -= static_cast<size_t>(k);
    }
}

bool read_whole(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

void send_bytes(const std::string& name, const std::string& data) {
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text = "@@rw FILE " + name + " " + std::to_string(data.size()) + "\n";
    size_t col = 0;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(data[i])) << 16;
        if (i + 1 < data.size())
            v |= uint32_t(uint8_t(data[i + 1])) << 8;
        if (i + 2 < data.size())
            v |= uint8_t(data[i + 2]);
        text += b64[v >> 18 & 63];
        text += b64[v >> 12 & 63];
        text += i + 1 < data.size() ? b64[v >> 6 & 63] : '=';
        text += i + 2 < data.size() ? b64[v & 63] : '=';
        if ((col += 4) == 76) {
            text += '\n';
            col = 0;
        }
    }
    if (col)
        text += '\n';
    text += "@@rw END\n";
    put(text);
}

void send_file(const std::string& name, const std::string& path) {
    std::string data;
    if (!read_whole(path, &data)) {
        say("cannot read " + path);
        return;
    }
    send_bytes(name, data);
}

// Sends path's bytes as name, read with plain read() calls (sysfs files
// have no size to go by); or name.error with the reason.
void send_path(const std::string& path, const std::string& name) {
    const double t0 = seconds();
    std::string data;
    int fd = open(path.c_str(), O_RDONLY);
    int error = fd < 0 ? errno : 0;
    char buf[4096];
    while (fd >= 0) {
        ssize_t k = read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            error = errno;
        if (k <= 0)
            break;
        data.append(buf, static_cast<size_t>(k));
    }
    if (fd >= 0)
        close(fd);
    if (error != 0) {
        say("cannot read " + path + ": " + std::strerror(error));
        send_bytes(name + ".error", std::string(std::strerror(error)) + "\n");
    } else {
        say("read " + std::to_string(data.size()) + " bytes of " + path + " in " + std::to_string(seconds() - t0) +
            " s");
        send_bytes(name, data);
    }
}

bool write_sysfs(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!ok)
        say("cannot write " + text + " to " + path + ": " + std::strerror(errno));
    if (fd >= 0)
        close(fd);
    return ok;
}

// Clears the Memory Space bit (bit 1) of the command register, offset 4 of
// configuration space, which the sysfs config file holds little-endian.
bool memory_decoding_off(const std::string& dev) {
    const std::string path = "/sys/bus/pci/devices/" + dev + "/config";
    int fd = open(path.c_str(), O_RDWR);
    unsigned char cmd[2];
    bool ok = fd >= 0 && pread(fd, cmd, 2, 4) == 2;
    if (ok) {
        cmd[0] = static_cast<unsigned char>(cmd[0] & ~2u);
        ok = pwrite(fd, cmd, 2, 4) == 2;
    }
    if (!ok)
        say("cannot clear the memory bit in " + path + ": " + std::strerror(errno));
    if (fd >= 0)
        close(fd);
    return ok;
}

// Binds dev to driver the way an operator hands a function to a driver of
// their choice.  A driver the kernel lacks is loaded from /DRIVER.ko.
void bind(const std::string& dev, const std::string& driver) {
    const std::string module = "/" + driver + ".ko";
    struct stat st;
    if (stat(("/sys/bus/pci/drivers/" + driver).c_str(), &st) != 0 && stat(module.c_str(), &st) == 0) {
        int fd = open(module.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || syscall(SYS_finit_module, fd, "", 0) != 0)
            say("cannot load " + module + ": " + std::strerror(errno));
        if (fd >= 0)
            close(fd);
    }
    const std::string at = "/sys/bus/pci/devices/" + dev;
    if (write_sysfs(at + "/driver_override", driver))
        write_sysfs("/sys/bus/pci/drivers_probe", dev);
}

void unbind(const std::string& dev) {
    const std::string at = "/sys/bus/pci/devices/" + dev;
    write_sysfs(at + "/driver/unbind", dev);
    write_sysfs(at + "/driver_override", "\n");
}

int run(const std::string& tag, const std::vector<std::string>& words) {
    say("run " + tag);
    const double t0 = seconds();
    const std::string out = "/rec/" + tag + ".out", err = "/rec/" + tag + ".err";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0 || chdir("/work") != 0)
            _exit(126);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> argv;
        static char program[] = "/romwright";
        argv.push_back(program);
        for (const std::string& w : words)
            argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        static char lc[] = "LC_ALL=C", tz[] = "TZ=UTC", path[] = "PATH=/";
        char* env[] = {lc, tz, path, nullptr};
        execve(program, argv.data(), env);
        _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    int code = pid < 0 ? 125 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    say(tag + ": status " + std::to_string(code) + " after " + std::to_string(seconds() - t0) + " s");
    send_file(tag + ".out", out);
    send_file(tag + ".err", err);
    send_bytes(tag + ".status", std::to_string(code) + "\n");
    return code;
}

bool copy_part(const std::vector<std::string>& w) {
    std::string data;
    if (w.size() != 4 || !read_whole("/work/" + w[0], &data)) {
        say("copy: cannot read " + (w.empty() ? std::string("?") : w[0]));
        std::ofstream("/work/" + (w.size() == 4 ? w[3] : std::string("copy.bad")));
        return false;
    }
    size_t off = std::strtoul(w[1].c_str(), nullptr, 0), len = std::strtoul(w[2].c_str(), nullptr, 0);
    std::ofstream o("/work/" + w[3], std::ios::binary);
    if (off < data.size())
        o << data.substr(off, len);
    return static_cast<bool>(o);
}

// Sends the regular files of dir, in name order, as prefix/NAME.
void collect(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            struct stat st;
            if (stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
        send_file(prefix + "/" + n, dir + "/" + n);
}

void mount_or_say(const char* source, const char* target, const char* type) {
    mkdir(target, 0755);
    if (mount(source, target, type, 0, nullptr) != 0 && errno != EBUSY)
        say(std::string("cannot mount ") + type + " on " + target + ": " + std::strerror(errno));
}

}  // namespace

int main() {
    mount_or_say("proc", "/proc", "proc");
    mount_or_say("sysfs", "/sys", "sysfs");
    mount_or_say("devtmpfs", "/dev", "devtmpfs");
    for (const char* d : {"/run", "/run/lock", "/work", "/rec", "/tmp"})
        mkdir(d, 0755);

    for (int i = 0; i < 100 && g_channel < 0; ++i) {
        g_channel = open("/dev/hvc1", O_RDWR | O_NOCTTY);
        if (g_channel < 0)
            usleep(50000);
    }
    if (g_channel < 0)
        power_off(std::string("cannot open /dev/hvc1: ") + std::strerror(errno));
    struct termios t;
    if (tcgetattr(g_channel, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(g_channel, TCSANOW, &t);
    }
    put("\n@@rw START\n");

    std::ifstream plan("/plan");
    if (!plan)
        power_off("no /plan");
    for (std::string line; std::getline(plan, line);) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;)
            w.push_back(word);
        if (w.empty() || w[0][0] == '#')
            continue;
        const std::string what = w[0];
        w.erase(w.begin());
        if (what == "run" && !w.empty()) {
            const std::string tag = w[0];
            w.erase(w.begin());
            run(tag, w);
        } else if (what == "enable" && w.size() == 1) {
            say("enable " + w[0]);
            write_sysfs("/sys/bus/pci/devices/" + w[0] + "/enable", "1");
        } else if (what == "decode" && w.size() == 2 && w[1] == "off") {
            say("memory decoding off for " + w[0]);
            memory_decoding_off(w[0]);
        } else if (what == "copy") {
            copy_part(w);
        } else if (what == "collect" && w.size() == 2) {
            collect(w[0], w[1]);
        } else if (what == "send" && w.size() == 2) {
            send_path(w[0], w[1]);
        } else if (what == "bind" && w.size() == 2) {
            say("bind " + w[0] + " to " + w[1]);
            bind(w[0], w[1]);
        } else if (what == "unbind" && w.size() == 1) {
            say("unbind " + w[0]);
            unbind(w[0]);
        } else {
            say("plan: cannot do: " + line);
        }
    }

    collect("/work", "work");
    put("@@rw DONE\n");
    tcdrain(g_channel);
    power_off("done");
}
