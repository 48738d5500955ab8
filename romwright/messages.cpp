// The words of the failures and notices of the layers below the front end.
#include "romwright/messages.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "common/escaping.h"

namespace {

std::string error_text(const fact_list& d) { return std::strerror(static_cast<int>(d.number("errno"))); }

// What the slot state the platform reports (see slot_state()) says, with
// the way back to a working slot; one line.
std::string slot_state_line(const std::string& path, const std::string& state) {
    unsigned flags = 0, pe = 0;
    const bool parsed = std::sscanf(state.c_str(), "%x %x", &flags, &pe) == 2;
    // The function's directory and the bus's rescan file beside "devices".
    const std::string dir = path.substr(0, path.rfind('/'));
    const size_t devices = dir.rfind("/devices/");
    const std::string rescan = (devices == std::string::npos ? "/sys/bus/pci" : dir.substr(0, devices)) + "/rescan";
    const std::string reset = "remove the function and rescan the bus (echo 1 > " + dir + "/remove; echo 1 > " +
                              rescan + "), then run romwright again";
    std::string line = "The platform reports the slot ";
    if (parsed && (pe & 0x1u))
        line += "frozen (" + path + " reads \"" + state + "\"): thaw it with echo 1 > " + path +
                " and run romwright again; if it stays frozen, " + reset;
    else if (parsed && (pe & 0xAu))
        line += "in recovery (" + path + " reads \"" + state + "\"): wait until the kernel log shows the EEH " +
                "recovery finished, then run romwright again; if it does not finish, " + reset;
    else
        line += std::string(parsed ? "not frozen" : "in an unknown state") + " (" + path + " reads \"" + state +
                "\"): the adapter itself does not answer; " + reset;
    return line + "\n";
}

// Kernels built with STRICT_DEVMEM and IO_STRICT_DEVMEM (as distribution
// kernels for POWER are) refuse mappings of registers that a driver has
// claimed; a kernel in lockdown refuses to open /dev/mem at all.
std::string devmem_text(const failure& f) {
    const fact_list& d = f.details();
    const bool open = f.why() == reason::devmem_open_refused;
    const std::string mem = d.text("path"), at = d.text("address"), driver = d.text("driver"),
                      lockdown = d.text("lockdown");
    const int err = static_cast<int>(d.number("errno"));
    std::string text =
        open ? strprintf("ERROR: cannot open %s: %s (romwright must run as root, with the right to map device "
                         "memory)\n",
                         mem.c_str(), std::strerror(err))
             : strprintf("ERROR: cannot map the register window at 0x%llx through %s: %s (root and a kernel "
                         "that allows mapping device memory are needed)\n",
                         static_cast<unsigned long long>(d.number("window")), mem.c_str(), std::strerror(err));
    if (closes_devmem(lockdown)) {
        text += strprintf("The kernel is locked down (lockdown mode %s in /sys/kernel/security/lockdown, as secure "
                          "boot may set it): the lockdown closes /dev/mem entirely, so neither unbinding a driver "
                          "nor iomem=relaxed helps; romwright needs a kernel that is not locked down.\n",
                          lockdown.c_str());
    } else if (!open && err == EPERM && !driver.empty()) {
        const char* dr = driver.c_str();
        text += strprintf("The driver %s is bound to %s and holds its registers, and this kernel (built with "
                          "STRICT_DEVMEM and IO_STRICT_DEVMEM) refuses to map registers that a driver holds.\n"
                          "To go on, unbind the driver (the adapter's port is out of service until it is bound "
                          "back):\n"
                          "  echo %s > /sys/bus/pci/drivers/%s/unbind\n"
                          "run romwright again, then bind the driver back:\n"
                          "  echo %s > /sys/bus/pci/drivers/%s/bind\n"
                          "Or boot the kernel with the parameter iomem=relaxed, which lets /dev/mem map registers "
                          "that a driver holds.\n",
                          dr, at.c_str(), at.c_str(), dr, at.c_str(), dr);
    } else if (!open && err == EPERM) {
        text += strprintf("No driver is bound to %s, yet something in the kernel has claimed its registers, and "
                          "this kernel refuses to map claimed registers; booted with the parameter iomem=relaxed it "
                          "lets /dev/mem map them.\n",
                          at.c_str());
    }
    return text;
}

std::string several_functions_text(const fact_list& d) {
    const std::vector<std::string> found = d.texts("match");
    std::string text = strprintf("ERROR: %zu PCI functions match -b %02x:%02x.%x:\n", found.size(),
                                 static_cast<unsigned>(d.number("bus")), static_cast<unsigned>(d.number("slot")),
                                 static_cast<unsigned>(d.number("function")));
    for (const std::string& fn : found)
        text += "  " + fn + "\n";
    return text + "Name one with its domain, for example: -b " + (found.empty() ? "" : found.front()) + "\n";
}

// Why the adapter lock cannot be trusted.
std::string lock_flaw(reason why, const fact_list& d) {
    const unsigned uid = static_cast<unsigned>(d.number("uid"));
    switch (why) {
    case reason::lock_not_folder:
        return "it is not a folder (a link or another file stands there)";
    case reason::lock_folder_owner:
        return strprintf("the folder belongs to user %u, not to this user", uid);
    case reason::lock_folder_writable:
        return strprintf("others may write the folder (mode %04o)", static_cast<unsigned>(d.number("mode")));
    case reason::lock_is_link:
        return "it is a symbolic link";
    case reason::lock_not_plain:
        return "it is not a plain file";
    default:
        return strprintf("it belongs to user %u", uid);
    }
}

// Why one of the program's own folders or files cannot be trusted, and the
// way out.
std::string private_flaw(reason why, const fact_list& d, const char** remedy) {
    const unsigned uid = static_cast<unsigned>(d.number("uid"));
    *remedy = "remove it";
    switch (why) {
    case reason::private_not_folder:
        *remedy = "make it a folder of this user that nobody else may write";
        return "it is not a folder (a link or another file stands there)";
    case reason::private_folder_owner:
        *remedy = "make it a folder of this user that nobody else may write";
        return strprintf("it belongs to user %u, not to this user", uid);
    case reason::private_folder_writable:
        *remedy = "make it a folder of this user that nobody else may write";
        return strprintf("others may write it (mode %04o)", static_cast<unsigned>(d.number("mode")));
    case reason::private_is_link:
        return "it is a symbolic link";
    case reason::private_not_plain:
        return "it is not a plain file (a FIFO, a device or a folder stands there)";
    case reason::private_owner:
        return strprintf("it belongs to user %u", uid);
    case reason::private_too_big:
        return strprintf("it holds %lld bytes, more than the %zu it can hold", static_cast<long long>(d.number("size")),
                         static_cast<size_t>(d.number("max")));
    default:
        return strprintf("it holds more than the %zu bytes it can hold", static_cast<size_t>(d.number("max")));
    }
}

// Why a backup could not be saved.
std::string backup_cause(const failure& f) {
    const fact_list& d = f.details();
    switch (f.why()) {
    case reason::backup_folder_not_folder:
        return "it is not a folder";
    case reason::backup_folder_create:
        return "cannot create the folder: " + error_text(d);
    case reason::backup_too_many:
        return "too many backups of this adapter made within one second";
    case reason::backup_exists_now:
        return "the file exists";
    default:
        break;
    }
    // The write's own failure: its errno, or a refusal as worded.
    const failure* inner = f.cause();
    if (!inner)
        return "";
    return inner->why() == reason::output_write_failed ? error_text(inner->details()) : message_of(*inner);
}

// The step of a journal's write that failed and why.
std::string journal_step(const fact_list& d) {
    const std::string step = d.text("step");
    if (step.empty())  // refused: something other than a plain file stands there
        return "something other than a plain file stands there";
    return step + ": " + error_text(d);
}

std::string approved_list_text(const failure& f) {
    const fact_list& d = f.details();
    const std::string path = d.text("path");
    std::string why;
    switch (f.why()) {
    case reason::approved_list_unreadable:
        why = "cannot read " + path + ": " + d.text("why");
        break;
    case reason::approved_list_refused:
        why = path + " " + d.text("why");
        break;
    case reason::approved_list_too_big:
        why = path + " is larger than 16 MiB";
        break;
    default:
        why = strprintf("%s, line %d: not a digest, two spaces and a name", path.c_str(),
                        static_cast<int>(d.number("line")));
        break;
    }
    return "ERROR: the list of approved images: " + why + "\n";
}

std::string when_text(int64_t time) {
    const std::string when = time ? utc_time_text(time) : "";
    return when.empty() ? "at an unknown time" : when;
}

std::string interrupted_text(const std::string& address, const std::string& command, int64_t time,
                             const std::string& backup, bool backup_present) {
    std::string note = "romwright: WARNING: the EEPROM of " + address + " may be half-written: `" +
                       terminal_text(command) + "`, begun " + when_text(time) + ", did not finish.\n";
    if (!backup.empty() && backup_present)
        note += "romwright: to put back what the EEPROM held before it: " + restore_command(address, backup) + "\n";
    else if (!backup.empty())
        note += "romwright: the backup it names, " + shell_quoted(backup) +
                ", is gone; restore a saved image of this board with: romwright -b " + address + " restore FILE\n";
    else
        note += "romwright: that run kept no backup; restore a saved image of this board with: romwright -b " +
                address + " restore FILE\n";
    return note;
}

}  // namespace

std::string message_of(const failure& f) {
    const fact_list& d = f.details();
    const std::string path = d.text("path");
    const unsigned address = static_cast<unsigned>(d.number("address"));
    switch (f.why()) {
    case reason::worded:
        return f.what();
    case reason::device_not_found:
        return strprintf("Unable to find device  %x:*\n", static_cast<unsigned>(d.number("vendor")));
    case reason::several_functions:
        return several_functions_text(d);
    case reason::not_served_adapter:
        return strprintf("ERROR: the PCI function at %s is not an adapter romwright serves (vendor:device "
                         "%04x:%04x, not vendor %04x); nothing was touched\n",
                         d.text("address").c_str(), static_cast<unsigned>(d.number("vendor")),
                         static_cast<unsigned>(d.number("device")), static_cast<unsigned>(d.number("served_vendor")));
    case reason::no_memory_bar0:
        return strprintf("ERROR: the PCI function at %s has no memory BAR0 to map (BAR0 reads 0x%llx)\n",
                         d.text("address").c_str(), static_cast<unsigned long long>(d.number("bar0")));
    case reason::memory_decoding_off:
        return strprintf("ERROR: memory decoding is off for the PCI function at %s, so its registers cannot be "
                         "reached; turn it on with: echo 1 > %s/devices/%s/enable (or bind the adapter's driver)\n",
                         d.text("address").c_str(), "/sys/bus/pci", d.text("address").c_str());
    case reason::adapter_in_use:
        return "ERROR: the adapter at " + d.text("address") +
               " is in use by another romwright run; try again when it has finished\n";
    case reason::devmem_open_refused:
    case reason::devmem_map_refused:
        return devmem_text(f);
    case reason::kernel_vpd_unreadable:
        return "ERROR: cannot " + d.text("step") + " the kernel's VPD file " + path + ": " + error_text(d) + "\n";
    case reason::lock_folder_create:
        return "ERROR: cannot create the adapter lock folder " + path + ": " + error_text(d) + "\n";
    case reason::lock_folder_read:
        return "ERROR: cannot read the adapter lock folder " + path + ": " + error_text(d) + "\n";
    case reason::lock_file_create:
        return "ERROR: cannot create the adapter lock file " + path + ": " + error_text(d) + "\n";
    case reason::lock_failed:
        return "ERROR: cannot lock " + path + ": " + error_text(d) + "\n";
    case reason::lock_not_folder:
    case reason::lock_folder_owner:
    case reason::lock_folder_writable:
    case reason::lock_is_link:
    case reason::lock_not_plain:
    case reason::lock_owner:
        return "ERROR: the adapter lock " + path + " cannot be trusted: " + lock_flaw(f.why(), d) +
               "; remove it and run again\n";
    case reason::adapter_gone: {
        std::string text = strprintf("ERROR: the adapter did not answer at EEPROM address 0x%04x: its VPD "
                                     "capability reads all ones (slot frozen by the platform, or adapter gone)\n",
                                     address);
        if (d.has("slot_state"))
            text += slot_state_line(d.text("slot_state_path"), d.text("slot_state"));
        return text;
    }
    case reason::vpd_transfer_timeout:
        return strprintf("ERROR: the adapter did not answer: the VPD %s of EEPROM address 0x%04x did not complete "
                         "within 2 seconds\n",
                         d.number("write") ? "write" : "read", address);
    case reason::eeprom_busy_timeout:
        return strprintf("ERROR: the adapter did not answer: the EEPROM still reported busy 2 seconds after the "
                         "write to EEPROM address 0x%04x\n",
                         address);
    case reason::unexpected:
        return "ERROR: " + d.text("what") + "\n";
    case reason::output_refused:
        return "ERROR: " + d.text("what") + " " + path + " " + d.text("why") + ": nothing was written\n";
    case reason::output_write_failed:
        return d.text("what") + " " + path + " could not be written: " + d.text("step") + ": " + error_text(d) + "\n";
    case reason::readback_mismatch:
        return strprintf("ERROR: EEPROM address 0x%04x reads back 0x%08x after 0x%08x was written: the write did "
                         "not take (the EEPROM may be write-protected)\n",
                         address, static_cast<unsigned>(d.number("read")), static_cast<unsigned>(d.number("written")));
    case reason::flash_run_too_short:
        return "ERROR: Run time too short! (Run 'romprobe -w 0x7bfc 0'?)\n";
    case reason::erase_run_too_short:
        return "ERROR\n";
    case reason::file_unopenable:
        return "Unable to open file:" + path + "\n";
    case reason::saved_file_write_failed:
        return "ERROR: " + (f.cause() ? message_of(*f.cause()) : std::string());
    case reason::image_write_failed:
        return "ERROR: writing " + path + " failed: " + error_text(d) + "; the EEPROM was not changed\n";
    case reason::image_write_unrestored:
        return "ERROR: writing " + path + " failed: " + error_text(d) +
               ", and so did giving it back its earlier bytes; the EEPROM was not changed\n";
    case reason::image_not_given_back:
        return "ERROR: " + path + " keeps the board's identity: giving it back its earlier bytes failed: " +
               error_text(d) + "\n";
    case reason::backup_folder_not_folder:
    case reason::backup_folder_create:
    case reason::backup_write_failed:
    case reason::backup_too_many:
    case reason::backup_exists_now:
        return "ERROR: cannot save the backup " + path + ": " + backup_cause(f) +
               "; nothing was changed (make room or make the folder writable, name another file with -backup "
               "FILE, or go without a backup with -nobackup)\n";
    case reason::backup_name_control:
        return "ERROR: the backup file name " + terminal_text(path) +
               " holds a control character (a line end, a tab, ...); name a file without one with -backup FILE\n";
    case reason::backup_file_exists:
        return "ERROR: the backup file " + path + " exists; name a new file with -backup FILE\n";
    case reason::approved_list_unreadable:
    case reason::approved_list_refused:
    case reason::approved_list_too_big:
    case reason::approved_list_bad_line:
        return approved_list_text(f);
    case reason::journal_write_failed:
        return "ERROR: cannot write the journal " + path + " (" + journal_step(d) + "); nothing was changed\n";
    case reason::journal_not_marked:
        return "the journal " + path + " was not marked as recorded (" + journal_step(d) + ")";
    case reason::private_create:
        return "ERROR: cannot create the " + d.text("what") + " " + path + ": " + error_text(d) +
               "; nothing was done\n";
    case reason::private_read:
        return "ERROR: cannot read the " + d.text("what") + " " + path + ": " + error_text(d) + "; nothing was done\n";
    case reason::private_not_folder:
    case reason::private_folder_owner:
    case reason::private_folder_writable:
    case reason::private_is_link:
    case reason::private_not_plain:
    case reason::private_owner:
    case reason::private_too_big:
    case reason::private_grew: {
        const char* remedy = "";
        const std::string flaw = private_flaw(f.why(), d, &remedy);
        return "ERROR: the " + d.text("what") + " " + path + " cannot be trusted: " + flaw + "; nothing was done: " +
               remedy + " and run again\n";
    }
    }
    return f.what();
}

std::string notice_text(const notice& n) {
    const fact_list& d = n.facts;
    const std::string path = d.text("path");
    switch (n.kind) {
    case notice_kind::backup_kept: {
        const size_t slash = path.rfind('/');
        return "romwright: the EEPROM holds what backup " + path.substr(0, slash) + "/" + path.substr(slash + 1) +
               " holds; no new backup made\n";
    }
    case notice_kind::backup_saved:
        return "romwright: EEPROM saved as backup " + path + "\n";
    case notice_kind::journal_cleared: {
        const std::string backup = d.text("backup");
        return "romwright: `" + terminal_text(d.text("command")) + "`, begun " + when_text(d.number("time")) + "," +
               (backup.empty() ? std::string(" which kept no backup,") : " whose backup " + shell_quoted(backup) + " is gone,") +
               " did not finish, but the EEPROM holds what it held before it: no word of it took; its journal was "
               "cleared\n";
    }
    case notice_kind::change_interrupted:
        return interrupted_text(d.text("address"), d.text("command"), d.number("time"), d.text("backup"),
                                d.number("backup_present") != 0);
    case notice_kind::journal_not_removed:
        return "romwright: cannot remove the journal " + terminal_text(path) + ": " + error_text(d) + "\n";
    case notice_kind::image_not_plain:
        return "romwright: " + path + " is not a plain file or a pipe\n";
    case notice_kind::image_waiting:
        return "romwright: " + path + " is in use by another romwright run; waiting for it\n";
    case notice_kind::image_left_as_is:
        return "romwright: " + path +
               " has no write permission bits, so it was left as it is; the board's identity went only into the "
               "bytes written to the EEPROM\n";
    case notice_kind::driver_port_reset:
        return "romwright: the chip reset at the end of this change resets the port of driver " + d.text("driver") +
               " bound to " + d.text("address") + "\n";
    }
    return "";
}

std::string vpd_problem_text(const vpd_problem& p) {
    const char* item = p.read_only ? "VPD-R" : "VPD-W";
    const char* bound = p.past_copy ? "copy" : "item";
    switch (p.fault) {
    case vpd_fault::blank:
        return "blank: every byte is 0xFF";
    case vpd_fault::empty:
        return "empty";
    case vpd_fault::no_id_tag:
        return strprintf("does not begin with the identifier-string tag 0x82 (begins with 0x%02x)", p.value);
    case vpd_fault::id_string_past:
        return strprintf("the identifier string (%u bytes) runs past the copy", p.length);
    case vpd_fault::item_header_past:
        return strprintf("an item header at offset %u runs past the copy", p.offset);
    case vpd_fault::item_past:
        return strprintf("the item with tag 0x%02x at offset %u (%u bytes) runs past the copy", p.value, p.offset,
                         p.length);
    case vpd_fault::keyword_header_past:
        return strprintf("%s item: a keyword header at offset %u runs past the %s", item, p.offset, bound);
    case vpd_fault::keyword_past:
        return strprintf("%s item: keyword %s at offset %u runs past the %s", item, p.keyword.c_str(), p.offset,
                         bound);
    case vpd_fault::rv_without_checksum:
        return strprintf("RV field at offset %u has no checksum byte", p.offset);
    case vpd_fault::no_end_tag:
        return "no end tag inside the copy";
    case vpd_fault::no_rv_field:
        return "the VPD-R item has no RV checksum field";
    case vpd_fault::no_vpd_r:
        return "no VPD-R item";
    case vpd_fault::keyword_repeated:
        return p.value == 2 ? strprintf("keyword %s is held twice (at offsets %u and %u)", p.keyword.c_str(),
                                        p.offset, p.second)
                            : strprintf("keyword %s is held %u times (first at offsets %u and %u)",
                                        p.keyword.c_str(), p.value, p.offset, p.second);
    }
    return "";
}

std::vector<std::string> vpd_problem_texts(const std::vector<vpd_problem>& problems) {
    std::vector<std::string> out;
    for (const vpd_problem& p : problems)
        out.push_back(vpd_problem_text(p));
    return out;
}

std::string identity_faults_text(const identity_faults& f) {
    std::vector<std::string> wrong;
    if (f.wrong_tag)
        wrong.push_back(strprintf("the copy does not begin with the identifier-string tag 0x82 (it holds 0x%02x)",
                                  static_cast<unsigned>(f.tag)));
    if (f.part_number)
        wrong.push_back("the part number is not printable text");
    if (f.serial_number)
        wrong.push_back("the serial number is not printable text");
    if (f.mac_address)
        wrong.push_back("the MAC address is not 12 hexadecimal digits");
    std::string why;
    for (const std::string& w : wrong)
        why += (why.empty() ? "" : "; ") + w;
    return why;
}

std::string identity_take_fault_text(const identity_take_fault& f) {
    std::string why;
    switch (f.why) {
    case identity_take_fault::cause::past_end:
        why = strprintf("runs past the end of the file (%zu bytes)", f.file_size);
        break;
    case identity_take_fault::cause::wrong_tag:
        why = strprintf("does not begin with the identifier-string tag 0x82 0x10 (it holds 0x%02x 0x%02x)",
                        static_cast<unsigned>(f.tag[0]), static_cast<unsigned>(f.tag[1]));
        break;
    case identity_take_fault::cause::no_checksum_field:
        why = "has no RV checksum field inside the copy" +
              (f.problems.empty() ? std::string() : " (" + vpd_problem_text(f.problems.front()) + ")");
        break;
    }
    return strprintf("the VPD copy at file offset 0x%zx (%zu) %s", f.offset, f.offset, why.c_str());
}

std::string interrupted_note(const journal_record& r, const std::string& address) {
    struct stat st;
    return interrupted_text(address, r.command, r.time, r.backup, !r.backup.empty() && lstat(r.backup.c_str(), &st) == 0);
}
