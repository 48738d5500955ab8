// The commands.  Those that change the EEPROM (write, restore, clearinit,
// clearvpd, repair) read the whole EEPROM once, build a plan in memory, hold
// it to the rules (eeprom/change_rules.h) and apply it as one transaction:
// backup, journal, image file, the words with read-back, chip reset, commit.
// Guards undo what a failure leaves: the
// image file gets its bytes back, and the journal stays only when EEPROM
// words changed.
#include "eeprom/commands.h"

#include <sha2.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "eeprom/backup.h"
#include "eeprom/change_rules.h"
#include "eeprom/vpd.h"

namespace {

// One row per image type: how big its file must be and where it goes.
struct image_kind {
    const char* area;  // in the size message
    uint32_t size;
    uint32_t first;
};

image_kind kind_of(const request& rq) {
    if (rq.command == command_code::restore)
        return {"VPD+Init area", SEEPROM_SIZE, 0};  // the whole EEPROM, whatever -len says
    switch (rq.type) {
    case image_type::vpd:
        return {"VPD area", VPD_AREA_SIZE, rq.first + VPD_AREA_START};
    case image_type::init:
        return {"Init area", INIT_REGION_SIZE, rq.first};
    case image_type::full:
        break;
    }
    return {"VPD+Init area", rq.size, rq.first};
}

// A range [first, first + size) must end at or below the EEPROM's end.
void check_range(uint32_t first, uint32_t size, const char* what) {
    if (uint64_t{first} + size > SEEPROM_SIZE)
        throw failure(error_kind::failed, strprintf("Error: %s at 0x%x + 0x%x must end at or below 0x%x\n", what, first,
                                                    size, SEEPROM_SIZE));
}

void check_size(const image_kind& kind, const image_file& f) {
    if (f.bytes().size() != kind.size)
        throw failure(error_kind::failed,
                      strprintf("Error:  Size of binary file differs from the size of %s, expecting a file of size %d "
                                "bytes\n",
                                kind.area, static_cast<int>(kind.size)));
}

std::vector<uint8_t> read_whole(adapter_session& s, double* us_per_read) {
    std::vector<uint8_t> eeprom(SEEPROM_SIZE);
    const int64_t t0 = s.clock_us();
    read_seeprom(s, eeprom.data(), 0, SEEPROM_SIZE);
    *us_per_read = static_cast<double>(s.clock_us() - t0) / (SEEPROM_SIZE / 4);
    return eeprom;
}

// Writes the plan's segments inside one microprocessor hold; the results
// lines of a flash and the erase lines go where they always went.
void apply_words(adapter_session& s, const request& rq, const change_plan& p, command_result& out,
                 journal_guard& journal) {
    transfer_outcome done;
    auto note_outcome = [&] {
        out.words_written = done.words_written;
        out.changed = done.changed;
        if (done.changed)
            journal.words_changed();
    };
    up_reset_hold hold(s);
    const bool erase = !p.segments.empty() && !p.segments.front().erase_label.empty();
    for (const plan_segment& seg : p.segments) {
        if (erase)
            s.obs().erase_started(seg.erase_label, seg.start);
        const word_transfer t{p.before.data(), p.after.data(), &seg.words, seg.start, seg.length, p.count_words,
                              p.show_progress};
        bool plausible = false;
        hold.run([&] {
            try {
                plausible = write_words(s, t, done);
            } catch (...) {
                note_outcome();
                throw;
            }
        });
        note_outcome();
        if (!plausible) {
            // Clears never reach this (their regions are short), a flash says why.
            hold.run([&]() -> void {
                throw failure(error_kind::failed, erase ? "ERROR\n"
                                                        : "ERROR: Run time too short! (Run 'romprobe -w 0x7bfc 0'?)\n");
            });
        }
        if (erase && rq.command == command_code::clearvpd)
            s.obs().erase_done(seg.length);
    }
    if (!erase && p.repairs.empty())
        s.obs().flashed(p.wrote_at, p.count_words, done.words_written);
    for (const copy_repair& r : p.repairs)
        s.obs().copy_repaired(r.index, r.address, r.state, r.from_index, r.from_address);
    hold.release();
    if (erase && rq.command == command_code::clearinit)
        s.obs().erase_done(p.segments.front().length);
}

void run_change(adapter_session& s, const request& rq, image_file* image, command_result& out) {
    double us_per_read = 0;
    std::vector<uint8_t> eeprom = read_whole(s, &us_per_read);
    const std::string backup_dir = s.host().backup_dir();
    change_plan p = plan_change(rq, s.function(), backup_dir, std::move(eeprom), image ? &image->bytes() : nullptr,
                                us_per_read);
    apply_change_rules(p, rq, out.interrupted, image, s.host(), s.function());
    out.identity_before = p.identity_before;
    if (rq.change.plan_only) {
        if (p.refusal)
            throw *p.refusal;
        out.identity_after = p.identity_after;
        out.plan = p.summary;
        return;
    }
    if (p.show_identity)
        s.obs().identity_used(p.identity_before->part_number, p.identity_before->serial_number,
                              p.identity_before->mac_address);
    if (p.refusal)
        throw *p.refusal;
    out.identity_after = p.identity_after;
    out.repairs = p.repairs;
    if (rq.command == command_code::repair && p.repairs.empty())
        return;  // every copy good and agreeing: nothing to hold, back up or write
    // Mapped although a driver is bound (a kernel that allows it): the
    // driver's port goes down with the chip reset that ends the change.
    if (!s.function().driver.empty())
        s.obs().note(strprintf("romwright: the chip reset at the end of this change resets the port of driver %s "
                               "bound to %s\n",
                               s.function().driver.c_str(), s.address().c_str()));

    // backup -> journal -> image file -> words -> chip reset -> commit, none
    // of it cut short by a signal: the journal names only a backup that is
    // saved, and the image file gets its bytes back on every way out.
    signal_deferral uncut;
    const backup_plan backup = plan_backup(s.host(), p.before.data(), s.function(), rq.change,
                                           out.interrupted.has_value(), s.seconds());
    if (!backup.path.empty())
        out.backup = absolute_path(backup.path);
    write_backup(backup, p.before.data(), s.obs());
    journal_guard journal(s.host(), s.function(), s.obs(), out.interrupted);
    journal.begin(journal_record_of(s, rq, p, image, out.backup.value_or("")));

    image_file_guard file_guard(s.obs());
    // With several adapters each board's identity goes into its own bytes
    // only: the file is never changed.
    if (image && !p.image_with_identity.empty() && !rq.several()) {
        if (image->updatable()) {
            image->replace(p.image_with_identity);
            file_guard.arm(image);
        } else {
            out.image_note = strprintf("romwright: %s has no write permission bits, so it was left as it is; the "
                                       "board's identity went only into the bytes written to the EEPROM\n",
                                       image->path().c_str());
            s.obs().note(out.image_note);
        }
    }
    if (p.image_bytes)
        s.obs().image_read(p.image_bytes, rq.file);
    apply_words(s, rq, p, out, journal);
    file_guard.commit();
    journal.finish(p.clears_interruption);
}

void run_verify(adapter_session& s, const request& rq, image_file& image, command_result& out) {
    uint8_t copy[VPD_COPY_SIZE];
    read_seeprom(s, copy, BOARD_DETAILS_ADDR, VPD_COPY_SIZE);
    const board_identity id = identity_of_copy(copy);
    out.identity_before = id;
    s.obs().identity_used(id.part_number, id.serial_number, id.mac_address);
    const image_kind kind = kind_of(rq);
    const std::vector<uint8_t>& buf = image.bytes();
    s.obs().image_read(static_cast<uint32_t>(buf.size()), rq.file);
    up_reset_hold hold(s);
    out.mismatches = hold.run([&] { return verify_seeprom(s, buf.data(), kind.first, kind.size); });
    out.passed = out.mismatches.empty();
    s.obs().verified(out.passed, rq.type == image_type::init ? "(init)" : "", rq.first);
    hold.release();
    if (!out.passed)
        throw failure(error_kind::failed, "").as_shown();
}

void run_read(adapter_session& s, const request& rq, command_result& out) {
    std::vector<uint8_t> buf(rq.size);
    read_seeprom(s, buf.data(), rq.first, rq.size);
    s.obs().eeprom_read(rq.size, rq.first);
    out.start = rq.first;
    out.size = rq.size;
    out.file = rq.file;
    char hex[SHA256_DIGEST_STRING_LENGTH];
    out.sha256 = SHA256Data(buf.data(), buf.size(), hex);
    FILE* fp = std::fopen(rq.file.c_str(), "wb");
    if (!fp)
        throw failure(error_kind::file, strprintf("Unable to open file:%s\n", rq.file.c_str()));
    const bool written = std::fwrite(buf.data(), 1, buf.size(), fp) == buf.size();
    const int write_errno = errno;
    const bool closed = std::fclose(fp) == 0;
    if (!written || !closed)
        throw failure(error_kind::failed, strprintf("ERROR: writing %s failed: %s\n", rq.file.c_str(),
                                                    std::strerror(written ? errno : write_errno)));
}

}  // namespace

const char* command_name(command_code c) {
    switch (c) {
    case command_code::dump:
        return "dump";
    case command_code::read:
        return "read";
    case command_code::write:
        return "write";
    case command_code::restore:
        return "restore";
    case command_code::verify:
        return "verify";
    case command_code::clearinit:
        return "clearinit";
    case command_code::clearvpd:
        return "clearvpd";
    case command_code::repair:
        return "repair";
    case command_code::vpd:
        return "vpd";
    case command_code::list:
        return "list";
    }
    return "?";
}

bool changes_eeprom(command_code c) {
    return c == command_code::write || c == command_code::restore || c == command_code::clearinit ||
           c == command_code::clearvpd || c == command_code::repair;
}

bool uses_range(command_code c) {
    return c == command_code::dump || c == command_code::read || c == command_code::write ||
           c == command_code::verify || c == command_code::clearinit;
}

void check_read_file(const std::string& file, const platform& p) {
    if (!file.empty() && file[0] == '-')
        throw failure(error_kind::failed, "ERROR: Invalid filename specified\n");
    std::string what;
    if (p.own_file(file.c_str(), what))
        throw failure(error_kind::failed, strprintf("ERROR: %s is %s: reading the EEPROM into it would destroy "
                                                    "it; name another file\n",
                                                    file.c_str(), what.c_str()));
}

std::unique_ptr<image_file> prepare_command(const request& rq, const platform& p, observer& obs) {
    const command_code c = rq.command;
    if (rq.change.changed_only && c != command_code::write && c != command_code::restore)
        throw failure(error_kind::usage, "ERROR: -changed goes with write or restore\n");
    if (changes_eeprom(c) && !rq.change.plan_only)
        check_backup_file(rq.change);
    switch (c) {
    case command_code::write:
    case command_code::verify: {
        if (!rq.file_given)
            throw failure(error_kind::usage,
                          strprintf("ERROR: '%s' names no image file: give -f:<file>, -fvpd:<file> or -finit:<file>\n",
                                    command_name(c)));
        const image_kind kind = kind_of(rq);
        check_range(kind.first, kind.size,
                    rq.type == image_type::vpd ? "VPD image" : rq.type == image_type::init ? "Init image" : "image");
        const bool update =
            c == command_code::write && rq.type != image_type::init && !rq.change.plan_only && !rq.several();
        // One byte more than -len asks for is read, so that a longer file
        // shows as too long.
        auto f = image_file::open(rq.file, update ? image_file::use::update : image_file::use::read, rq.size, obs);
        check_size(kind, *f);
        return f;
    }
    case command_code::restore: {
        auto f = image_file::open(rq.file, image_file::use::read, SEEPROM_SIZE, obs);
        check_size(kind_of(rq), *f);
        return f;
    }
    case command_code::clearinit:
        check_range(rq.first, INIT_REGION_SIZE, "Init region");
        break;
    case command_code::read:
        check_read_file(rq.file, p);
        break;
    default:
        break;
    }
    return nullptr;
}

void run_command(adapter_session& s, const request& rq, image_file* image, command_result& out) {
    out.command = rq.command;
    out.adapter = s.address();
    out.interrupted = standing_journal(s);
    switch (rq.command) {
    case command_code::write:
    case command_code::restore:
    case command_code::clearinit:
    case command_code::clearvpd:
    case command_code::repair:
        run_change(s, rq, image, out);
        break;
    case command_code::verify:
        run_verify(s, rq, *image, out);
        break;
    case command_code::read:
        run_read(s, rq, out);
        break;
    case command_code::vpd: {
        std::vector<uint8_t> area(size_t{VPD_COPY_SIZE} * VPD_COPIES_IN_IMAGE);
        read_seeprom(s, area.data(), VPD_AREA_START, static_cast<uint32_t>(area.size()));
        out.report = make_vpd_report(area.data(), VPD_COPIES_IN_IMAGE, VPD_AREA_START);
        // While a journal stands, the copies may look whole and still be half-written.
        out.status = out.interrupted ? EXIT_STATUS_FAILED : out.report->status();
        break;
    }
    case command_code::dump:
        out.start = rq.first;
        out.bytes.resize(rq.size);
        read_seeprom(s, out.bytes.data(), rq.first, rq.size);
        break;
    case command_code::list:
        break;
    }
}
