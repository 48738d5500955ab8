// The rules a planned change passes before it is applied.
#include "eeprom/change_rules.h"

#include <sha2.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/error.h"
#include "eeprom/backup.h"
#include "eeprom/copy_identity.h"
#include "eeprom/vpd.h"

namespace {

std::string escaped(const std::string& s) {
    return vpd_escape(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
}

std::string command_words(const request& rq) {
    switch (rq.command) {
    case command_code::write:
        return std::string("write ") +
               (rq.type == image_type::vpd ? "-fvpd:" : rq.type == image_type::init ? "-finit:" : "-f:") + rq.file;
    case command_code::restore:
        return "restore " + rq.file;
    default:
        return command_name(rq.command);
    }
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// The same file under two names: the same device and inode, or, when one
// cannot be looked at, the same absolute path.
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return absolute_path(a) == absolute_path(b);
}

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "`write -f:img.bin`, begun 2027-01-15T08:00:00Z,"
std::string what_was_interrupted(const journal_record& j) {
    const std::string when = j.time ? utc_time_text(j.time) : "";
    return "`" + terminal_text(j.command) + "`, begun " + (when.empty() ? "at an unknown time" : when) + ",";
}

// The way back to the EEPROM as it was before the interrupted change.
std::string way_back(const journal_record& j, const std::string& address) {
    if (!j.backup.empty() && exists(j.backup))
        return "To put back what the EEPROM held before it: " + restore_command(address, j.backup) + "\n";
    return std::string(j.backup.empty() ? "That run kept no backup" : "The backup it names is gone") +
           "; restore a saved image of this board with: romwright -b " + address + " restore FILE\n";
}

// write -f/-fvpd and repair take the identity from the EEPROM: while it may
// be half-written, they would carry a torn identity into every copy.
failure journal_refusal(const journal_record& j, const request& rq, const std::string& journal,
                        const std::string& address) {
    std::string text = "ERROR: a change of this adapter did not finish: " + what_was_interrupted(j) +
                       " so the EEPROM may be half-written and the identity it holds cannot be trusted; nothing was "
                       "changed.\nIts journal: " +
                       terminal_text(absolute_path(journal)) + "\n" + way_back(j, address);
    if (rq.command == command_code::write)
        text += "Only a write that finishes that change (the same image, to the same place) may run before that.\n";
    return failure(error_kind::refused, text);
}

const char* field_name(int k) { return k == 0 ? "part number" : k == 1 ? "serial number" : "MAC address"; }

// What copy c holds where it differs from want, field by field:
// "MAC address (none: no NA keyword)", "serial number X".
std::vector<std::string> identity_differences(const held_identity& got, const held_identity& want) {
    const std::string board_identity::*fixed[] = {&board_identity::part_number, &board_identity::serial_number,
                                                  &board_identity::mac_address};
    const std::optional<std::string> held_identity::*keyword[] = {&held_identity::pn, &held_identity::sn,
                                                                  &held_identity::na};
    const char* const keyword_names[] = {"PN", "SN", "NA"};
    std::vector<std::string> out;
    for (int k = 0; k < 3; ++k) {
        const std::optional<std::string>& g = got.*keyword[k];
        if (g != want.*keyword[k])
            out.push_back(std::string(field_name(k)) + " " +
                          (g ? escaped(*g) : std::string("(none: no ") + keyword_names[k] + " keyword)"));
        else if (got.fields.*fixed[k] != want.fields.*fixed[k])
            out.push_back(std::string(field_name(k)) + " " + escaped(got.fields.*fixed[k]));
    }
    return out;
}

// write: every VPD copy the write changes holds the board's identity
// afterwards, as the identity transfer and vpd both see it.
std::optional<failure> identity_changed(const change_plan& p, const request& rq) {
    const vpd_report before = copies_of(p.before.data()), after = copies_of(p.after.data());
    const held_identity want = identity_held(before.copies[(BOARD_DETAILS_ADDR - VPD_AREA_START) / VPD_COPY_SIZE]);
    std::string lines;
    for (size_t i = 0; i < after.copies.size(); ++i) {
        const vpd_report::copy& c = after.copies[i];
        if (c.bytes == before.copies[i].bytes)
            continue;  // a copy the write leaves alone keeps what it holds
        const std::vector<std::string> diff = identity_differences(identity_held(c), want);
        if (diff.empty())
            continue;
        lines += strprintf("  copy %d at 0x%04x would hold ", c.index, c.address);
        for (size_t k = 0; k < diff.size(); ++k)
            lines += (k == 0 ? "" : k + 1 == diff.size() ? " and " : ", ") + diff[k];
        lines += "\n";
    }
    if (lines.empty())
        return std::nullopt;
    return failure(error_kind::refused,
                   "ERROR: writing " + rq.file + " would change the board's identity (part number " +
                       escaped(want.fields.part_number) + ", serial number " + escaped(want.fields.serial_number) +
                       ", MAC address " + escaped(want.fields.mac_address) +
                       "); nothing was changed.\nAfterwards:\n" + lines +
                       "Each VPD copy of the image must carry the PN, SN and NA keywords where the board's copies "
                       "carry them (offsets 22, 60 and 87 of the copy), so that the board's identity goes into it.\n");
}

std::optional<failure> restore_refusal(const change_plan& p, const request& rq,
                                       const std::optional<journal_record>& standing, const image_file& image,
                                       const std::string& address) {
    if (standing) {
        // A backup taken while the journal stood holds the half-written
        // EEPROM: the newest backup, and never the one to go back to.
        if (base_name(rq.file).find("_interrupted") != std::string::npos)
            return failure(error_kind::refused,
                           "ERROR: " + terminal_text(rq.file) +
                               " was saved while an interrupted change stood (its name holds _interrupted): it holds "
                               "the EEPROM half-written, so restoring it would not undo " +
                               what_was_interrupted(*standing) +
                               " nothing was changed.\n" + way_back(*standing, address));
        if (!standing->backup.empty() && !standing->backup_sha256.empty() && same_file(rq.file, standing->backup)) {
            const std::string now = sha256_of(image.bytes());
            if (now != standing->backup_sha256)
                return failure(error_kind::refused,
                               "ERROR: the backup " + terminal_text(rq.file) + " no longer holds what it held when " +
                                   what_was_interrupted(*standing) + " saved it (SHA-256 " + standing->backup_sha256 +
                                   " then, " + now +
                                   " now); nothing was changed.\nRestore another saved image of this board with: "
                                   "romwright -b " +
                                   address + " restore FILE\n");
            // This board as it was before the interrupted change, whatever
            // identity that change left on it.
            return std::nullopt;
        }
    }
    if (rq.change.force_identity)
        return std::nullopt;
    // Two boards must never end with one identity.
    const std::optional<board_identity> board = majority_identity(p.before.data());
    const std::optional<board_identity> file = majority_identity(image.bytes().data());
    if (!board || !file ||
        (board->serial_number == file->serial_number && board->mac_address == file->mac_address))
        return std::nullopt;
    return failure(error_kind::refused,
                   "ERROR: " + terminal_text(rq.file) + " holds the identity of another board (serial number " +
                       escaped(file->serial_number) + ", MAC address " + escaped(file->mac_address) +
                       "), not this board's (serial number " + escaped(board->serial_number) + ", MAC address " +
                       escaped(board->mac_address) +
                       "): restoring it would give two boards one identity; nothing was changed.\nTo put that "
                       "identity on this board all the same (a replacement board, say), give -force-identity.\n");
}

}  // namespace

std::string sha256_of(const std::vector<uint8_t>& bytes) {
    char hex[SHA256_DIGEST_STRING_LENGTH];
    return SHA256Data(bytes.data(), bytes.size(), hex);
}

std::optional<journal_record> standing_journal(adapter_session& s) {
    std::optional<journal_record> j = read_journal(s.host(), s.function());
    if (!j)
        return j;
    // A change whose backup is gone (or that kept none) and that left the
    // EEPROM as it was: no word of it took, nothing is half-written.
    if (!j->before_sha256.empty() && (j->backup.empty() || !exists(j->backup))) {
        std::vector<uint8_t> eeprom(SEEPROM_SIZE);
        read_seeprom(s, eeprom.data(), 0, SEEPROM_SIZE);
        if (sha256_of(eeprom) == j->before_sha256) {
            remove_journal(s.host(), s.function(), s.obs());
            s.obs().note("romwright: " + what_was_interrupted(*j) +
                         (j->backup.empty() ? std::string(" which kept no backup,")
                                            : " whose backup " + shell_quoted(j->backup) + " is gone,") +
                         " did not finish, but the EEPROM holds what it held before it: no word of it took; its "
                         "journal was cleared\n");
            return std::nullopt;
        }
    }
    s.obs().note(interrupted_note(*j, s.address()));
    return j;
}

void apply_change_rules(change_plan& p, const request& rq, const std::optional<journal_record>& standing,
                        const image_file* image, const platform& host, const pci_function& fn) {
    const std::string address = function_address(fn);
    bool completes = false;
    if (standing) {
        completes = !standing->after_sha256.empty() && standing->after_sha256 == sha256_of(p.after);
        const bool takes_identity =
            (rq.command == command_code::write && rq.type != image_type::init) || rq.command == command_code::repair;
        if (takes_identity && !completes) {
            p.refusal = journal_refusal(*standing, rq, journal_path(host, fn), address);
            return;
        }
    }
    if (p.refusal)
        return;
    if (rq.command == command_code::write)
        p.refusal = identity_changed(p, rq);
    else if (rq.command == command_code::restore && image)
        p.refusal = restore_refusal(p, rq, standing, *image, address);
    if (p.refusal)
        return;
    // Finished, a restore leaves the whole EEPROM as its file holds it.
    p.clears_interruption = completes || rq.command == command_code::restore;
}

journal_record journal_record_of(adapter_session& s, const request& rq, const change_plan& p,
                                 const image_file* image, const std::string& backup) {
    journal_record record;
    record.adapter = s.address();
    record.command = command_words(rq);
    if (image) {
        record.image = absolute_path(image->path());
        record.image_sha256 = sha256_of(p.image_with_identity.empty() ? image->bytes() : p.image_with_identity);
    }
    record.backup = backup;
    record.before_sha256 = sha256_of(p.before);
    if (!backup.empty())
        record.backup_sha256 = record.before_sha256;  // the backup holds the EEPROM as read
    record.after_sha256 = sha256_of(p.after);
    record.time = s.seconds();
    return record;
}
