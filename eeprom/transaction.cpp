// The transaction and the commands' reads.  Those that change the EEPROM (write, restore, clearinit,
// clearvpd, repair) read the whole EEPROM once, build a plan in memory and
// apply it as one transaction: backup, journal, image file, the words with
// read-back, chip reset, commit.  Guards undo what a failure leaves: the
// image file gets its bytes back, and the journal stays only when EEPROM
// words changed.
#include "eeprom/transaction.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/paths.h"
#include "common/sha256.h"
#include "eeprom/backup.h"
#include "eeprom/vpd.h"

namespace {

std::vector<uint8_t> read_whole(adapter_session& s, double* us_per_read) {
    std::vector<uint8_t> eeprom(SEEPROM_SIZE);
    const int64_t t0 = s.clock_us();
    read_seeprom(s, eeprom.data(), 0, SEEPROM_SIZE);
    *us_per_read = static_cast<double>(s.clock_us() - t0) / (SEEPROM_SIZE / 4);
    return eeprom;
}

// Writes the plan's segments inside one microprocessor hold; the result
// lines of a flash and the erase lines go where they always went.
void apply_words(adapter_session& s, const change_plan& p, change_result& out, journal_guard& journal,
                 transfer_outcome& done) {
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
                throw failure(error_kind::failed, erase ? reason::erase_run_too_short : reason::flash_run_too_short);
            });
        }
        if (erase && !p.erase_done_after_reset)
            s.obs().erase_done(seg.length);
    }
    if (!erase && p.repairs.empty())
        s.obs().flashed(p.wrote_at, p.count_words, done.words_written);
    for (const copy_repair& r : p.repairs)
        s.obs().copy_repaired(r.index, r.address, r.state, r.from_index, r.from_address);
    hold.release();
    if (erase && p.erase_done_after_reset)
        s.obs().erase_done(p.segments.front().length);
}

// The image file gets the bytes the plan flashes, when the plan says so;
// the guard gives it its own bytes back unless the change commits.
void give_image_file_identity(adapter_session& s, image_file* image, const change_plan& p, image_file_guard& guard) {
    if (!image || !p.image_file_takes_identity)
        return;
    if (image->updatable()) {
        image->replace(p.image_with_identity);
        guard.arm(image);
    } else {
        s.obs().notify({notice_kind::image_left_as_is, fact_list().add("path", image->path())});
    }
}

// The EEPROM as a transaction that failed leaves it: the words written as
// planned, the word the transfer stopped at as it read back; empty when
// that word is not known.  No word written: as read.
std::vector<uint8_t> known_after_failure(const change_plan& p, const transfer_outcome& done) {
    if (done.stopped_at && !done.stopped_word)
        return {};
    std::vector<uint8_t> eeprom = p.before;
    uint32_t left = done.words_written;
    for (const plan_segment& seg : p.segments)
        for (const uint32_t address : seg.words) {
            if (left == 0)
                break;
            std::memcpy(&eeprom[address], &p.after[address], 4);
            --left;
        }
    if (done.stopped_word)
        bytes_from_word(*done.stopped_word, &eeprom[*done.stopped_at]);
    return eeprom;
}

}  // namespace

change_read read_for_change(adapter_session& s) {
    change_read r;
    r.eeprom = read_whole(s, &r.us_per_read);
    r.at = plan_place{s.address(), s.where().backup_dir};
    return r;
}

void apply_change(adapter_session& s, const change_request& rq, change_plan p, double us_per_read,
                  change_result& out) {
    apply_change_rules(p, rq, s.where(), s.function());
    out.identity_before = p.identity_before;
    out.forced = !p.forced.empty();
    if (p.show_identity && !rq.options.plan_only)
        s.obs().identity_used(p.identity_before->part_number, p.identity_before->serial_number,
                              p.identity_before->mac_address);
    if (p.refusal) {
        out.refusal = std::move(p.refusal);
        return;
    }
    out.identity_after = p.identity_after;
    if (rq.options.plan_only) {
        summarize_plan(p, us_per_read);
        out.plan = p.summary;
        return;
    }
    if (p.applies_nothing)
        return;
    // Mapped although a driver is bound (a kernel that allows it): the
    // driver's port goes down with the chip reset that ends the change.
    if (!s.function().driver.empty())
        s.obs().notify({notice_kind::driver_port_reset,
                        fact_list().add("driver", s.function().driver).add("address", s.address())});

    // backup -> journal -> image file -> words -> chip reset -> commit, none
    // of it cut short by a signal: the journal names only a backup that is
    // saved, and the image file gets its bytes back on every way out.
    signal_deferral uncut(s);
    transfer_outcome done;
    try {
        const backup_plan backup = plan_backup(s.where(), p.before.data(), s.function(), rq.options,
                                               rq.interrupted.has_value(), s.seconds());
        if (!backup.path.empty())
            out.backup = absolute_path(backup.path);
        write_backup(backup, p.before.data(), s.obs());
        journal_guard journal(s.where(), s.function(), s.obs(), rq.interrupted);
        const journal_record record = journal_record_of(s, rq, p, out.backup.value_or(""));
        journal.begin(record);
        if (journal.written())
            out.journal_id = record.id;

        image_file_guard file_guard(s.obs());
        give_image_file_identity(s, rq.image, p, file_guard);
        if (p.image_bytes)
            s.obs().image_read(p.image_bytes, rq.image->path());
        apply_words(s, p, out, journal, done);
        file_guard.commit();
        journal.finish(p.clears_interruption);
    } catch (...) {
        out.known_after = known_after_failure(p, done);
        throw;
    }
}

void verify_image(adapter_session& s, const image_file& image, const image_region& region, const char* label,
                  uint32_t shown_start, verify_result& out) {
    uint8_t copy[VPD_COPY_SIZE];
    read_seeprom(s, copy, BOARD_DETAILS_ADDR, VPD_COPY_SIZE);
    const board_identity id = identity_of_copy(copy);
    s.obs().identity_used(id.part_number, id.serial_number, id.mac_address);
    const std::vector<uint8_t>& buf = image.bytes();
    s.obs().image_read(static_cast<uint32_t>(buf.size()), image.path());
    up_reset_hold hold(s);
    out.mismatches = hold.run([&] { return verify_seeprom(s, buf.data(), region.first, region.size); });
    out.passed = out.mismatches.empty();
    s.obs().verified(out.passed, label, shown_start);
    hold.release();
}

dump_result read_range(adapter_session& s, uint32_t first, uint32_t size) {
    dump_result r;
    r.start = first;
    r.bytes.resize(size);
    read_seeprom(s, r.bytes.data(), first, size);
    return r;
}

read_result save_range(adapter_session& s, uint32_t first, uint32_t size, const std::string& file,
                       const std::vector<kept_path>& kept) {
    std::vector<uint8_t> buf(size);
    read_seeprom(s, buf.data(), first, size);
    s.obs().eeprom_read(size, first);
    // A file that could not be made at all is a file that cannot be opened.
    if (::access(folder_of(file).c_str(), W_OK | X_OK) != 0)
        throw failure(error_kind::file, reason::file_unopenable).with("path", file);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    try {
        replace_file(file, "the output file", buf.data(), buf.size(), 0666 & ~mask, kept);
    } catch (const failure& e) {
        if (e.why() != reason::output_write_failed)
            throw;
        failure f(e.kind(), reason::saved_file_write_failed);  // a failed write names its step
        f.caused_by(e);
        for (const failure::fact& fact : e.facts())
            f = f.with_fact(fact.first, fact.second);
        throw f;
    }
    return {file, first, size, sha256_hex(buf)};
}

vpd_report read_vpd_copies(adapter_session& s, std::vector<uint8_t>* whole) {
    if (whole) {
        whole->assign(SEEPROM_SIZE, 0);
        read_seeprom(s, whole->data(), 0, SEEPROM_SIZE);
        return make_vpd_report(whole->data() + VPD_AREA_START, VPD_COPIES_IN_IMAGE, VPD_AREA_START);
    }
    std::vector<uint8_t> area(size_t{VPD_COPY_SIZE} * VPD_COPIES_IN_IMAGE);
    read_seeprom(s, area.data(), VPD_AREA_START, static_cast<uint32_t>(area.size()));
    return make_vpd_report(area.data(), VPD_COPIES_IN_IMAGE, VPD_AREA_START);
}
