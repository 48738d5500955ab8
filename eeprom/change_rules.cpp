// The rules a planned change passes before it is applied.
#include "eeprom/change_rules.h"

#include <sys/stat.h>

#include <cerrno>

#include "common/error.h"
#include "common/escaping.h"
#include "common/sha256.h"
#include "eeprom/backup.h"
#include "eeprom/bulk.h"
#include "eeprom/copy_identity.h"
#include "eeprom/vpd.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// Something stands at path that can be looked at.
bool present(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The same file under two names: the same device and inode, or, when one
// cannot be looked at, the same absolute path.
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return absolute_path(a) == absolute_path(b);
}

change_refusal refusal(change_refusal::reason why, const change_request& rq, const std::string& address) {
    change_refusal r;
    r.why = why;
    r.address = address;
    r.file = rq.file;
    return r;
}

// A refusal that names the standing journal and the way back.
change_refusal journal_refusal(change_refusal::reason why, const change_request& rq, const journal_record& j,
                               const std::string& address) {
    change_refusal r = refusal(why, rq, address);
    r.journal = j;
    r.backup_exists = !j.backup.empty() && exists(j.backup);
    return r;
}

// What copy c holds where it differs from want, field by field.
std::vector<change_refusal::field_difference> identity_differences(const held_identity& got,
                                                                   const held_identity& want) {
    const std::string board_identity::*fixed[] = {&board_identity::part_number, &board_identity::serial_number,
                                                  &board_identity::mac_address};
    const std::optional<std::string> held_identity::*keyword[] = {&held_identity::pn, &held_identity::sn,
                                                                  &held_identity::na};
    std::vector<change_refusal::field_difference> out;
    for (int k = 0; k < 3; ++k) {
        const std::optional<std::string>& g = got.*keyword[k];
        if (g != want.*keyword[k])
            out.push_back({k, g});
        else if (got.fields.*fixed[k] != want.fields.*fixed[k])
            out.push_back({k, got.fields.*fixed[k]});
    }
    return out;
}

// write: every VPD copy the write changes holds the board's identity
// afterwards, as the identity transfer and vpd both see it.
std::optional<change_refusal> identity_changed(const change_plan& p, const change_request& rq,
                                               const std::string& address) {
    const vpd_report before = copies_of(p.before.data()), after = copies_of(p.after.data());
    const held_identity want = identity_held(before.copies[(BOARD_DETAILS_ADDR - VPD_AREA_START) / VPD_COPY_SIZE]);
    std::vector<change_refusal::copy_difference> differences;
    for (size_t i = 0; i < after.copies.size(); ++i) {
        const vpd_report::copy& c = after.copies[i];
        if (c.bytes == before.copies[i].bytes)
            continue;  // a copy the write leaves alone keeps what it holds
        std::vector<change_refusal::field_difference> diff = identity_differences(identity_held(c), want);
        if (!diff.empty())
            differences.push_back({c.index, c.address, std::move(diff)});
    }
    if (differences.empty())
        return std::nullopt;
    change_refusal r = refusal(change_refusal::reason::identity_would_change, rq, address);
    r.board = want.fields;
    r.differences = std::move(differences);
    return r;
}

std::optional<change_refusal> restore_refusal(const change_plan& p, const change_request& rq,
                                              const std::string& address) {
    const std::optional<journal_record>& standing = rq.interrupted;
    if (standing) {
        // A backup taken while the journal stood holds the half-written
        // EEPROM: the newest backup, and never the one to go back to.
        if (saved_while_interrupted(rq.file))
            return journal_refusal(change_refusal::reason::interrupted_backup, rq, *standing, address);
        if (!standing->backup.empty() && !standing->backup_sha256.empty() && same_file(rq.file, standing->backup)) {
            const std::string now = sha256_hex(rq.image->bytes());
            if (now != standing->backup_sha256) {
                change_refusal r = journal_refusal(change_refusal::reason::backup_changed, rq, *standing, address);
                r.sha256_then = standing->backup_sha256;
                r.sha256_now = now;
                return r;
            }
            // This board as it was before the interrupted change, whatever
            // identity that change left on it.
            return std::nullopt;
        }
    }
    if (rq.options.force_identity)
        return std::nullopt;
    // Two boards must never end with one identity.
    const std::optional<board_identity> board = majority_identity(p.before.data());
    const std::optional<board_identity> file = majority_identity(rq.image->bytes().data());
    if (!board || !file ||
        (same_identity(identity_field::serial_number, board->serial_number, file->serial_number) &&
         same_identity(identity_field::mac_address, board->mac_address, file->mac_address)))
        return std::nullopt;
    change_refusal r = refusal(change_refusal::reason::another_boards_identity, rq, address);
    r.board = *board;
    r.other = *file;
    return r;
}

}  // namespace

bool saved_while_interrupted(const std::string& path) {
    const size_t slash = path.rfind('/');
    return path.find("_interrupted", slash == std::string::npos ? 0 : slash + 1) != std::string::npos;
}

std::optional<journal_record> standing_journal(adapter_session& s) {
    std::optional<journal_record> j = read_journal(s.where(), s.function());
    if (!j)
        return j;
    // A change whose backup is gone (or that kept none) and that left the
    // EEPROM as it was: no word of it took, nothing is half-written.
    if (!j->before_sha256.empty() && (j->backup.empty() || !exists(j->backup))) {
        std::vector<uint8_t> eeprom(SEEPROM_SIZE);
        read_seeprom(s, eeprom.data(), 0, SEEPROM_SIZE);
        if (sha256_hex(eeprom) == j->before_sha256) {
            remove_journal(s.where(), s.function(), s.obs());
            s.obs().notify({notice_kind::journal_cleared,
                            fact_list().add("command", j->command).add("time", j->time).add("backup", j->backup)});
            return std::nullopt;
        }
    }
    s.obs().notify({notice_kind::change_interrupted, fact_list()
                                                         .add("address", s.address())
                                                         .add("command", j->command)
                                                         .add("time", j->time)
                                                         .add("backup", j->backup)
                                                         .add("backup_present", int64_t{!j->backup.empty() && present(j->backup)})});
    return j;
}

void apply_change_rules(change_plan& p, const change_request& rq, const site& where, const pci_function& fn) {
    const std::string address = function_address(fn);
    bool completes = false;
    if (rq.interrupted) {
        completes = !rq.interrupted->after_sha256.empty() && rq.interrupted->after_sha256 == sha256_hex(p.after);
        // write -f/-fvpd and repair take the identity from the EEPROM: while
        // it may be half-written, they would carry a torn identity into
        // every copy.
        if (rq.rules.takes_identity && !completes) {
            p.refusal = journal_refusal(change_refusal::reason::journal_stands, rq, *rq.interrupted, address);
            p.refusal->journal_path = journal_path(where, fn);
            return;
        }
    }
    if (p.refusal)
        return;
    if (rq.rules.keeps_identity)
        p.refusal = identity_changed(p, rq, address);
    else if (rq.rules.restores && rq.image)
        p.refusal = restore_refusal(p, rq, address);
    if (p.refusal)
        return;
    // Finished, a restore leaves the whole EEPROM as its file holds it.
    p.clears_interruption = completes || rq.rules.restores;
}

journal_record journal_record_of(adapter_session& s, const change_request& rq, const change_plan& p,
                                 const std::string& backup) {
    journal_record record;
    record.id = random_id();
    record.adapter = s.address();
    record.command = rq.words;
    record.words = rq.line;
    if (rq.image) {
        record.image = absolute_path(rq.image->path());
        record.image_sha256 = sha256_hex(p.image_with_identity.empty() ? rq.image->bytes() : p.image_with_identity);
    }
    record.backup = backup;
    record.before_sha256 = sha256_hex(p.before);
    if (!backup.empty())
        record.backup_sha256 = record.before_sha256;  // the backup holds the EEPROM as read
    record.after_sha256 = sha256_hex(p.after);
    record.time = s.seconds();
    return record;
}
