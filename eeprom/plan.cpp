// Planning a change from one read of the whole EEPROM.
#include "eeprom/plan.h"

#include <algorithm>
#include <cstring>

#include "eeprom/copy_identity.h"
#include "eeprom/vpd.h"
#include "eeprom/vpd_report.h"

namespace {

// A nominal EEPROM write cycle, for the projected time.

std::string escaped(const std::string& s) {
    return vpd_escape(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
}

vpd_report report_of(const std::vector<uint8_t>& eeprom) {
    return make_vpd_report(&eeprom[VPD_AREA_START], VPD_COPIES_IN_IMAGE, VPD_AREA_START);
}

const char* state_of(const vpd_copy_info& info) { return info.good() ? "good" : info.blank ? "blank" : "faulty"; }

// One line per copy: its state and the identity it holds.
std::string copies_text(const vpd_report& r) {
    std::string out;
    for (const vpd_report::copy& c : r.copies) {
        const board_identity id = identity_of_copy(c.bytes.data());
        out += strprintf("  copy %d at 0x%04x: %s", c.index, c.address, state_of(c.info));
        if (!c.info.blank)
            out += ", serial number " + escaped(id.serial_number) + ", MAC address " + escaped(id.mac_address);
        out += "\n";
    }
    return out;
}

std::string restore_hint(const std::string& address, const std::string& backup_dir) {
    return strprintf("To put back a saved image of this board exactly as it is: romwright -b %s restore FILE%s%s%s.\n",
                     address.c_str(), backup_dir.empty() ? "" : " (every run that changed the EEPROM saved a backup "
                                                                "first, in ",
                     backup_dir.c_str(), backup_dir.empty() ? "" : ")");
}

// A blank or broken identity must never be carried into an image and every
// copy on the board.
std::optional<failure> unusable_identity(const uint8_t* copy, const std::string& file, const std::string& address,
                                         const std::string& backup_dir) {
    std::string why;
    if (check_board_identity(copy, why))
        return std::nullopt;
    return failure(error_kind::refused,
                   strprintf("ERROR: the board's identity in its VPD copy at EEPROM address 0x%04x is blank or broken: "
                             "%s.\nWriting %s would carry it into the file and every VPD copy on the board, so nothing "
                             "was changed.\n",
                             BOARD_DETAILS_ADDR, why.c_str(), file.c_str()) +
                       restore_hint(address, backup_dir) +
                       "To give a blank board an identity, prepare its image with: romwright-vpd set --pn PART --sn "
                       "SERIAL --mac MAC IMAGE OUT\n");
}

// The copy at 0x0800 is trusted only when it decodes good and holds the
// identity that a strict majority of the good copies holds.
std::optional<failure> untrusted_identity(const vpd_report& r, const std::string& file, const std::string& address) {
    const vpd_report::copy& c = r.copies[(BOARD_DETAILS_ADDR - VPD_AREA_START) / VPD_COPY_SIZE];
    const std::optional<held_identity> most = majority_held(r);
    std::string why;
    if (!c.info.good())
        why = strprintf("the VPD copy at EEPROM address 0x%04x, which the identity is taken from, is %s",
                        BOARD_DETAILS_ADDR, state_of(c.info));
    else if (!most)
        why = strprintf("no identity is held by more than half of the %d good VPD copies", r.good);
    else if (identity_held(c) != *most)
        why = strprintf("the VPD copy at EEPROM address 0x%04x holds another identity than most good copies",
                        BOARD_DETAILS_ADDR);
    else
        return std::nullopt;
    return failure(error_kind::refused,
                   "ERROR: the board's identity cannot be trusted: " + why + ".\nThe VPD copies:\n" + copies_text(r) +
                       "Writing " + file + " would carry that identity into the file and every VPD copy on the board, "
                       "so nothing was changed.\n" +
                       (most ? "Put the copies right from the agreeing good ones first: romwright -b " + address +
                                   " repair\n"
                             : "romwright -b " + address + " repair needs most good copies to agree; " +
                                   restore_hint(address, "")));
}

void plan_repair(change_plan& p, const std::string& address, const std::string& backup_dir) {
    const vpd_report r = report_of(p.before);
    const std::optional<held_identity> most = majority_held(r);
    if (!most) {
        p.refusal = failure(
            error_kind::refused,
            strprintf("ERROR: cannot repair the VPD copies: %s, so there is no identity to put right from; nothing was "
                      "changed.\nThe VPD copies:\n",
                      r.good == 0 ? "no copy is good"
                                  : strprintf("no identity is held by more than half of the %d good copies", r.good)
                                        .c_str()) +
                copies_text(r) + restore_hint(address, backup_dir) +
                "To give the board an identity, prepare its image with: romwright-vpd set --pn PART --sn SERIAL --mac "
                "MAC IMAGE OUT, then write it\n");
        return;
    }
    const vpd_report::copy* source = nullptr;
    for (const vpd_report::copy& c : r.copies)
        if (c.info.good() && identity_held(c) == *most) {
            source = &c;
            break;
        }
    for (const vpd_report::copy& c : r.copies) {
        // As vpd judges it: the keywords count as well as the fixed fields.
        const bool agrees = c.info.good() && identity_held(c) == *most;
        if (agrees)
            continue;
        p.repairs.push_back({c.index, c.address, c.info.good() ? "good, but another identity" : state_of(c.info),
                             source->index, source->address});
        overlay(p.after, c.address, source->bytes.data(), VPD_COPY_SIZE);
    }
    p.identity_before = identity_of_copy(&p.before[BOARD_DETAILS_ADDR]);
    p.identity_after = identity_of_copy(&p.after[BOARD_DETAILS_ADDR]);
    p.count_words = true;
    p.segments.push_back({"", VPD_AREA_START, VPD_COPY_SIZE * VPD_COPIES_IN_IMAGE,
                          select_words(p.before, p.after, VPD_AREA_START, VPD_COPY_SIZE * VPD_COPIES_IN_IMAGE, true)});
}

void plan_write(change_plan& p, const request& rq, const std::vector<uint8_t>& image, const std::string& address,
                const std::string& backup_dir) {
    const uint8_t* copy = &p.before[BOARD_DETAILS_ADDR];
    p.identity_before = identity_of_copy(copy);
    p.show_identity = true;
    p.image_bytes = static_cast<uint32_t>(image.size());
    const uint32_t first = rq.type == image_type::vpd ? rq.first + VPD_AREA_START : rq.first;
    std::vector<uint8_t> bytes = image;
    if (rq.type != image_type::init) {
        if ((p.refusal = unusable_identity(copy, rq.file, address, backup_dir)))
            return;
        if ((p.refusal = untrusted_identity(report_of(p.before), rq.file, address)))
            return;
        std::string why;
        if (!insert_identity(bytes, VPD_COPIES_IN_IMAGE, rq.type == image_type::full ? 1024 : 0, *p.identity_before,
                             why)) {
            p.refusal = failure(error_kind::refused,
                                strprintf("ERROR: %s cannot take the board's identity: %s; nothing was written to the "
                                          "file or the EEPROM\n",
                                          rq.file.c_str(), why.c_str()));
            return;
        }
        p.image_with_identity = bytes;
    }
    overlay(p.after, first, bytes.data(), static_cast<uint32_t>(bytes.size()));
    p.identity_after = identity_of_copy(&p.after[BOARD_DETAILS_ADDR]);
    p.count_words = rq.change.changed_only;
    p.wrote_at = rq.first;
    p.segments.push_back({"", first, static_cast<uint32_t>(bytes.size()),
                          select_words(p.before, p.after, first, static_cast<uint32_t>(bytes.size()),
                                       rq.change.changed_only)});
}

void add_summary(change_plan& p, double us_per_read) {
    plan_summary& s = p.summary;
    s.repairs = p.repairs;
    for (const plan_segment& seg : p.segments) {
        s.words_to_write += static_cast<uint32_t>(seg.words.size());
        for (uint32_t a = seg.start; a < seg.start + seg.length; a += 4)
            s.words_in_range += !in_skip_window(a) && a != STATUS_WORD_ADDR;
    }
    auto count = [&](const std::string& name, uint32_t first, uint32_t last) {
        uint32_t n = 0;
        for (const plan_segment& seg : p.segments)
            for (uint32_t a : seg.words)
                n += a >= first && a <= last;
        if (n)
            s.regions.push_back({name, first, last, n});
    };
    count("init region", INIT_REGION_START, INIT_REGION_START + INIT_REGION_SIZE - 1);
    for (int i = 0; i < VPD_COPIES_IN_IMAGE; ++i) {
        const uint32_t a = VPD_AREA_START + VPD_COPY_SIZE * static_cast<uint32_t>(i);
        count(strprintf("VPD copy %d", i), a, a + VPD_COPY_SIZE - 1);
    }
    count("rest", VPD_AREA_START + VPD_COPY_SIZE * VPD_COPIES_IN_IMAGE, SEEPROM_SIZE - 1);
    const vpd_report before = report_of(p.before), after = report_of(p.after);
    for (size_t i = 0; i < before.copies.size(); ++i) {
        const char* b = state_of(before.copies[i].info);
        const char* a = state_of(after.copies[i].info);
        if (std::strcmp(a, b) != 0)
            s.copies_changing.push_back({before.copies[i].index, before.copies[i].address, b, a});
    }
    // A written word costs its write cycle and about three transfers (the
    // write, a status poll, the read-back).
    s.projected_seconds = s.words_to_write * (PLAN_WRITE_CYCLE_US + 3 * us_per_read) / 1e6;
}

}  // namespace

std::vector<uint32_t> select_words(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                                   uint32_t first, uint32_t length, bool changed_only) {
    std::vector<uint32_t> words;
    for (uint32_t a = first; a < first + length; a += 4) {
        if (in_skip_window(a) || a == STATUS_WORD_ADDR)
            continue;
        if (changed_only && std::memcmp(&before[a], &after[a], std::min<uint32_t>(4, first + length - a)) == 0)
            continue;
        words.push_back(a);
    }
    return words;
}

void overlay(std::vector<uint8_t>& eeprom, uint32_t first, const uint8_t* bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t a = first + i;
        if (!in_skip_window(a & ~3u) && (a & ~3u) != STATUS_WORD_ADDR)
            eeprom[a] = bytes[i];
    }
}

std::string identity_text(const board_identity& id) {
    return "part number " + escaped(id.part_number) + ", serial number " + escaped(id.serial_number) +
           ", MAC address " + escaped(id.mac_address);
}

change_plan plan_change(const request& rq, const pci_function& fn, const std::string& backup_dir,
                        std::vector<uint8_t> before, const std::vector<uint8_t>* image, double us_per_read) {
    change_plan p;
    p.command = rq.command;
    p.after = before;
    p.before = std::move(before);
    const std::string address = function_address(fn);
    switch (rq.command) {
    case command_code::write:
        plan_write(p, rq, *image, address, backup_dir);
        break;
    case command_code::restore:
        overlay(p.after, 0, image->data(), SEEPROM_SIZE);
        p.image_bytes = SEEPROM_SIZE;
        p.count_words = rq.change.changed_only;
        p.wrote_at = 0;
        p.segments.push_back({"", 0, SEEPROM_SIZE, select_words(p.before, p.after, 0, SEEPROM_SIZE,
                                                                rq.change.changed_only)});
        break;
    case command_code::clearinit: {
        const std::vector<uint8_t> ones(INIT_REGION_SIZE, 0xFF);
        overlay(p.after, rq.first, ones.data(), INIT_REGION_SIZE);
        p.show_progress = false;
        p.segments.push_back({"Init region", rq.first, INIT_REGION_SIZE,
                              select_words(p.before, p.after, rq.first, INIT_REGION_SIZE, false)});
        break;
    }
    case command_code::clearvpd: {
        const std::vector<uint8_t> ones(CLEAR_VPD_REGION_SIZE, 0xFF);
        p.show_progress = false;
        for (int n = 0; n < CLEAR_VPD_REGIONS; ++n) {
            const uint32_t start = VPD_AREA_START + static_cast<uint32_t>(n) * CLEAR_VPD_REGION_SIZE;
            overlay(p.after, start, ones.data(), CLEAR_VPD_REGION_SIZE);
            p.segments.push_back({strprintf("VPD region %d", n), start, CLEAR_VPD_REGION_SIZE,
                                  select_words(p.before, p.after, start, CLEAR_VPD_REGION_SIZE, false)});
        }
        break;
    }
    case command_code::repair:
        plan_repair(p, address, backup_dir);
        break;
    default:
        break;
    }
    if (p.identity_before && !p.identity_after)
        p.identity_after = identity_of_copy(&p.after[BOARD_DETAILS_ADDR]);
    add_summary(p, us_per_read);
    return p;
}
