// Planning a change from one read of the whole EEPROM.
#include "eeprom/plan.h"

#include <algorithm>
#include <cstring>

#include "common/error.h"
#include "eeprom/copy_identity.h"
#include "eeprom/vpd.h"
#include "eeprom/vpd_report.h"

namespace {

// Every copy: its state and the identity it holds.
std::vector<vpd_copy_state> copy_states(const vpd_report& r) {
    std::vector<vpd_copy_state> out;
    for (const vpd_report::copy& c : r.copies)
        out.push_back({c.index, c.address, copy_state_name(c.info), identity_of_copy(c.bytes.data())});
    return out;
}

change_refusal refusal(change_refusal::reason why, const plan_place& at) {
    change_refusal r;
    r.why = why;
    r.address = at.address;
    r.backup_dir = at.backup_dir;
    return r;
}

// A blank or broken identity must never be carried into an image and every
// copy on the board.
std::optional<change_refusal> unusable_identity(const uint8_t* copy, const std::string& file, const plan_place& at) {
    const std::optional<std::string> why = identity_fault(copy);
    if (!why)
        return std::nullopt;
    change_refusal r = refusal(change_refusal::reason::identity_broken, at);
    r.file = file;
    r.detail = *why;
    return r;
}

// The copy at 0x0800 is trusted only when it decodes good and holds the
// identity that a strict majority of the good copies holds.
std::optional<change_refusal> untrusted_identity(const vpd_report& r, const std::string& file, const plan_place& at) {
    const vpd_report::copy& c = r.copies[(BOARD_DETAILS_ADDR - VPD_AREA_START) / VPD_COPY_SIZE];
    const std::optional<held_identity> most = majority_held(r);
    change_refusal::distrust why;
    if (!c.info.good())
        why = change_refusal::distrust::copy_not_good;
    else if (!most)
        why = change_refusal::distrust::no_majority;
    else if (identity_held(c) != *most)
        why = change_refusal::distrust::copy_disagrees;
    else
        return std::nullopt;
    change_refusal out = refusal(change_refusal::reason::identity_untrusted, at);
    out.untrusted = why;
    out.file = file;
    out.good_copies = r.good;
    out.majority = most.has_value();
    out.copies = copy_states(r);
    return out;
}

// The ID string of a copy, escaped; empty when it has none.
std::string id_string_of(const uint8_t* copy) {
    const vpd_copy_info info = decode_vpd_copy(copy, VPD_COPY_SIZE);
    return info.has_id_string ? vpd_escape(copy + info.id_offset, info.id_length) : std::string();
}

// An image is this board's when it has a good VPD copy and every good copy
// holds the board's ID string (the trusted copy's, which agrees with most
// good copies).  With force, a mismatch is let through and noted in p.
std::optional<change_refusal> image_of_another_board(const std::vector<uint8_t>& image, uint32_t first_copy,
                                                     const uint8_t* board_copy, const write_spec& w,
                                                     const plan_place& at, change_plan& p) {
    const std::string board_id = id_string_of(board_copy);
    std::string image_id;
    bool any_good = false, another = false;
    for (int i = 0; i < VPD_COPIES_IN_IMAGE && !another; ++i) {
        const size_t c = first_copy + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        if (c + VPD_COPY_SIZE > image.size())
            break;
        if (!decode_vpd_copy(&image[c], VPD_COPY_SIZE).good())
            continue;
        any_good = true;
        image_id = id_string_of(&image[c]);
        another = image_id != board_id;
    }
    if (any_good && !another)
        return std::nullopt;
    if (!any_good)
        image_id.clear();
    if (w.force_image) {
        p.image_forced = true;
        p.forced_board_id = board_id;
        p.forced_image_id = image_id;
        return std::nullopt;
    }
    change_refusal r = refusal(change_refusal::reason::image_of_another_board, at);
    r.file = w.file;
    r.board_id = board_id;
    r.image_id = image_id;
    if (!any_good)
        r.detail = "no good copy";
    return r;
}

// A plan of the whole EEPROM as read, applying nothing yet.
change_plan unchanged(std::vector<uint8_t> before) {
    change_plan p;
    p.after = before;
    p.before = std::move(before);
    return p;
}

// An erase of each [start, start + size) with 0xFF, shown region by region.
void plan_erase(change_plan& p, const std::string& label, uint32_t start, uint32_t size) {
    const std::vector<uint8_t> ones(size, 0xFF);
    overlay(p.after, start, ones.data(), size);
    p.show_progress = false;
    p.segments.push_back({label, start, size, select_words(p.before, p.after, start, size, false)});
}

}  // namespace

bool image_file_takes_identity(image_type type, bool plan_only, bool several) {
    return type != image_type::init && !plan_only && !several;
}

change_plan plan_write(std::vector<uint8_t> before, const write_spec& w, const plan_place& at) {
    change_plan p = unchanged(std::move(before));
    const uint8_t* copy = &p.before[BOARD_DETAILS_ADDR];
    p.identity_before = identity_of_copy(copy);
    p.show_identity = true;
    p.image_bytes = static_cast<uint32_t>(w.image->size());
    std::vector<uint8_t> bytes = *w.image;
    if (w.type != image_type::init) {
        if ((p.refusal = unusable_identity(copy, w.file, at)))
            return p;
        if ((p.refusal = untrusted_identity(copies_of(p.before.data()), w.file, at)))
            return p;
        const uint32_t first_copy = w.type == image_type::full ? 1024 : 0;
        // The image's copies are judged with the board's identity in them
        // (their checksums made good), or as they are when they cannot take it.
        const std::optional<std::string> why = insert_identity(bytes, VPD_COPIES_IN_IMAGE, first_copy, *p.identity_before);
        const bool takes = !why;
        if ((p.refusal = image_of_another_board(takes ? bytes : *w.image, first_copy, copy, w, at, p)))
            return p;
        if (!takes) {
            p.refusal = refusal(change_refusal::reason::image_takes_no_identity, at);
            p.refusal->file = w.file;
            p.refusal->detail = *why;
            return p;
        }
        p.image_with_identity = bytes;
        p.image_file_takes_identity = image_file_takes_identity(w.type, w.plan_only, w.several);
    }
    const uint32_t first = w.region.first;
    const uint32_t length = static_cast<uint32_t>(bytes.size());
    overlay(p.after, first, bytes.data(), length);
    p.identity_after = identity_of_copy(&p.after[BOARD_DETAILS_ADDR]);
    p.count_words = w.changed_only;
    p.wrote_at = w.shown_start;
    p.segments.push_back({"", first, length, select_words(p.before, p.after, first, length, w.changed_only)});
    return p;
}

change_plan plan_restore(std::vector<uint8_t> before, const std::vector<uint8_t>& image, bool changed_only) {
    change_plan p = unchanged(std::move(before));
    overlay(p.after, 0, image.data(), SEEPROM_SIZE);
    p.image_bytes = SEEPROM_SIZE;
    p.count_words = changed_only;
    p.wrote_at = 0;
    p.segments.push_back({"", 0, SEEPROM_SIZE, select_words(p.before, p.after, 0, SEEPROM_SIZE, changed_only)});
    return p;
}

change_plan plan_clear_init(std::vector<uint8_t> before, uint32_t first) {
    change_plan p = unchanged(std::move(before));
    plan_erase(p, "Init region", first, INIT_REGION_SIZE);
    p.erase_done_after_reset = true;
    return p;
}

change_plan plan_clear_vpd(std::vector<uint8_t> before) {
    change_plan p = unchanged(std::move(before));
    for (int n = 0; n < CLEAR_VPD_REGIONS; ++n)
        plan_erase(p, strprintf("VPD region %d", n), VPD_AREA_START + static_cast<uint32_t>(n) * CLEAR_VPD_REGION_SIZE,
                   CLEAR_VPD_REGION_SIZE);
    return p;
}

change_plan plan_repair(std::vector<uint8_t> before, const plan_place& at) {
    change_plan p = unchanged(std::move(before));
    const vpd_report r = copies_of(p.before.data());
    const std::optional<held_identity> most = majority_held(r);
    if (!most) {
        p.refusal = refusal(change_refusal::reason::nothing_to_repair_from, at);
        p.refusal->good_copies = r.good;
        p.refusal->copies = copy_states(r);
        return p;
    }
    const vpd_report::copy* source = nullptr;
    for (const vpd_report::copy& c : r.copies)
        if (c.info.good() && identity_held(c) == *most) {
            source = &c;
            break;
        }
    for (const vpd_report::copy& c : r.copies) {
        const bool agrees = c.info.good() && identity_held(c) == *most;
        if (agrees)
            continue;
        p.repairs.push_back({c.index, c.address, c.info.good() ? "good, but another identity" : copy_state_name(c.info),
                             source->index, source->address});
        overlay(p.after, c.address, source->bytes.data(), VPD_COPY_SIZE);
    }
    p.identity_before = identity_of_copy(&p.before[BOARD_DETAILS_ADDR]);
    p.identity_after = identity_of_copy(&p.after[BOARD_DETAILS_ADDR]);
    p.count_words = true;
    p.segments.push_back({"", VPD_AREA_START, VPD_COPY_SIZE * VPD_COPIES_IN_IMAGE,
                          select_words(p.before, p.after, VPD_AREA_START, VPD_COPY_SIZE * VPD_COPIES_IN_IMAGE, true)});
    p.applies_nothing = p.repairs.empty();
    return p;
}

void summarize_plan(change_plan& p, double us_per_read) {
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
    const vpd_report before = copies_of(p.before.data()), after = copies_of(p.after.data());
    for (size_t i = 0; i < before.copies.size(); ++i) {
        const char* b = copy_state_name(before.copies[i].info);
        const char* a = copy_state_name(after.copies[i].info);
        if (std::strcmp(a, b) != 0)
            s.copies_changing.push_back({before.copies[i].index, before.copies[i].address, b, a});
    }
    // A written word costs its write cycle and about three transfers (the
    // write, a status poll, the read-back).
    s.projected_seconds = s.words_to_write * (PLAN_WRITE_CYCLE_US + 3 * us_per_read) / 1e6;
}

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
