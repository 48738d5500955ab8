// Every file the program reads or writes, tried as the things a careless
// operator or a local attacker could put in its place: each is refused (or
// read as what it is), nothing in its place is replaced, and no run hangs.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "cli_helpers.h"

using namespace cli;

namespace {

enum class thing { symlink, dangling, fifo, device, folder, huge };

const char* name_of(thing t) {
    switch (t) {
    case thing::symlink:
        return "symlink";
    case thing::dangling:
        return "dangling symlink";
    case thing::fifo:
        return "FIFO";
    case thing::device:
        return "device node";
    case thing::folder:
        return "folder";
    case thing::huge:
        return "huge sparse file";
    }
    return "";
}

// Puts t at path; false when this machine cannot make one (a device node
// without root).  A symlink points at target, a plain file of the test's.
bool make_thing(thing t, const std::string& path, const std::string& target) {
    switch (t) {
    case thing::symlink:
        return ::symlink(target.c_str(), path.c_str()) == 0;
    case thing::dangling:
        return ::symlink((path + ".nowhere").c_str(), path.c_str()) == 0;
    case thing::fifo:
        return ::mkfifo(path.c_str(), 0600) == 0;
    case thing::device:  // the null device's numbers
        return ::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    case thing::folder:
        return ::mkdir(path.c_str(), 0700) == 0;
    case thing::huge: {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        const bool ok = fd >= 0 && ::ftruncate(fd, off_t{1} << 30) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
    }
    return false;
}

// What stands at path, as lstat sees it, with a symlink's target.
std::string shape_of(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "absent";
    char target[512] = {};
    if (S_ISLNK(st.st_mode) && ::readlink(path.c_str(), target, sizeof target - 1) < 0)
        target[0] = '?';
    return std::to_string(st.st_mode & S_IFMT) + ":" + std::to_string(st.st_size) + ":" + target;
}

struct door {
    const char* name;
    std::string where;  // the file's name in the board's folder
    // The words (or simulator options) that make the program open it.
    std::function<run_result(const board&, const std::string& path)> run;
    int refused;  // the status when something other than a plain file stands there
    bool output = false;  // the program writes it
    bool follows_links = false;  // a link to a plain file is that file
};

}  // namespace

TEST(Doors, EveryFileRefusesWhatMayNotStandInItsPlace) {
    const std::vector<uint8_t> image = changed_full_image();
    const std::vector<door> doors = {
        {"read's output", "out.bin", [](const board& b, const std::string& p) { return b.run({"-b", "04:00.0", "read", p}); }, 1, true},
        {"metrics file", "m.prom",
         [](const board& b, const std::string& p) { return b.run({"-b", "04:00.0", "vpd", "-prometheus", p}); }, 1,
         true},
        {"image file", "img.bin",
         [](const board& b, const std::string& p) { return b.run({"-b", "04:00.0", "write", "-f:" + p}); }, 255,
         false, true},
        {"restore's file", "saved.bin",
         [](const board& b, const std::string& p) { return b.run({"-b", "04:00.0", "restore", p}); }, 255, false,
         true},
        {"approved list", "approved",
         [](const board& b, const std::string& p) {
             return b.run({"-b", "04:00.0", "write", "-f:good.bin", "-approved", p, "-plan"});
         },
         255, false, true},
        {"board-info file", "bd.txt",
         [](const board& b, const std::string& p) { return b.run({"-b", "04:00.0", "bdinfo", p, "dump", "-len", "4"}); },
         255, false, true},
        {"backup file", "bk.bin",
         [](const board& b, const std::string& p) { return b.run({"-b", "04:00.0", "clearinit", "-backup", p}); }, 1,
         true},
        {"simulated EEPROM file", "e2.bin",
         [](const board&, const std::string& p) { return run_sim({"--eeprom", p}, {"-b", "04:00.0", "dump", "-len", "4"}); },
         2, false, true},
        {"journal", "romwright-0000:04:00.journal",
         [](const board& b, const std::string&) { return b.run({"-b", "04:00.0", "dump", "-len", "4"}); }, 1},
    };
    for (const door& d : doors) {
        for (thing t : {thing::symlink, thing::dangling, thing::fifo, thing::device, thing::folder, thing::huge}) {
            SCOPED_TRACE(std::string(d.name) + " as a " + name_of(t));
            board b;
            write_file(b.file("good.bin"), image);
            write_file(b.file("target.bin"), image);
            const std::string path = b.file(d.where);
            // A plain file, however large, is an output's to replace.
            if (t == thing::huge && d.output)
                continue;
            // The simulator makes a missing EEPROM file through its link.
            if (t == thing::dangling && d.refused == 2)
                continue;
            if (!make_thing(t, path, b.file("target.bin")))
                continue;  // a device node needs root
            const std::string shape = shape_of(path);
            const std::vector<uint8_t> before = b.contents();
            const auto t0 = std::chrono::steady_clock::now();
            const run_result r = d.run(b, path);
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
            EXPECT_LT(seconds, 60) << "the run hung";
            EXPECT_EQ(shape_of(path), shape) << "what stood there was replaced";
            // A link to a plain file is read as that file where links are
            // followed (an image then takes the board's identity as it
            // would under its own name); everything else is refused, the
            // EEPROM as it was.
            if (t == thing::symlink && d.follows_links)
                continue;
            EXPECT_EQ(read_file(b.file("target.bin")), image) << "the link's target was written";
            EXPECT_NE(r.status, 0) << r.out << r.err;
            if (t != thing::huge) {
                EXPECT_TRUE(r.status == d.refused || r.status == 1) << r.status << "\n" << r.out << r.err;
            }
            EXPECT_EQ(b.contents(), before);
        }
    }
}

// The program's own files are never an output, under any name.
TEST(Doors, OwnFilesAreNeverReplaced) {
    board b;
    write_file(b.file("img.bin"), changed_full_image());

    write_text(b.file("approved"), "# none\n");
    ::mkdir(b.file("backups").c_str(), 0700);
    write_file(b.file("backups/old.bin"), sample_board());
    ::symlink("eeprom.bin", b.file("alias.bin").c_str());
    const struct {
        std::vector<std::string> words;
        std::string kept;
    } cases[] = {
        {{"read", "eeprom.bin"}, "eeprom.bin"},
        {{"read", "history.jsonl"}, "history.jsonl"},
        {{"read", "backups/old.bin"}, "backups/old.bin"},
        {{"vpd", "-prometheus", "history.jsonl"}, "history.jsonl"},
        {{"vpd", "-prometheus", "./history.jsonl"}, "history.jsonl"},
        {{"vpd", "-prometheus", "eeprom.bin"}, "eeprom.bin"},
        {{"vpd", "-prometheus", "backups/new.prom"}, "backups/new.prom"},
        {{"write", "-f:img.bin", "-approved", "approved", "-force-image", "-plan"}, "approved"},
        {{"write", "-f:alias.bin"}, "eeprom.bin"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = {"-b", "04:00.0"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        SCOPED_TRACE(c.words[0] + " " + c.words[1]);
        const std::string shape = shape_of(b.file(c.kept));
        const std::vector<uint8_t> eeprom = b.contents();
        const run_result r = b.run(words);
        EXPECT_NE(r.status, 0) << r.out << r.err;
        EXPECT_EQ(shape_of(b.file(c.kept)), shape);
        EXPECT_EQ(b.contents(), eeprom);
    }
}

// -prometheus - gives the metrics alone on standard output.
TEST(Doors, MetricsToStandardOutput) {
    board b;
    const run_result r = b.run({"-b", "04:00.0", "vpd", "-prometheus", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("# HELP ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("copies good"), std::string::npos);
    EXPECT_NE(r.err.find("14 of 14"), std::string::npos) << r.err;
    EXPECT_EQ(b.run({"-b", "04:00.0", "vpd", "-prometheus", "-", "-json"}).status, 255);
}

// An image from a pipe is read once; a FIFO nobody writes reads as empty.
TEST(Doors, ImageFromAPipe) {
    board b;
    const std::string fifo = b.file("img.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const run_result r = b.run({"-b", "04:00.0", "verify", "-f:" + fifo});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Size of binary file differs"), std::string::npos) << r.out;
}
