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
    std::optional<identity_faults> why = identity_fault(copy);
    if (!why)
        return std::nullopt;
    change_refusal r = refusal(change_refusal::reason::identity_broken, at);
    r.file = file;
    r.broken = why;
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

// The board's ID string: the one most of its good copies hold, the earliest
// on a tie.
std::string board_id_string(const vpd_report& r) {
    std::vector<std::pair<std::string, int>> seen;
    for (const vpd_report::copy& c : r.copies) {
        if (!c.info.good())
            continue;
        const std::string id = id_string_of(c.bytes.data());
        auto it = std::find_if(seen.begin(), seen.end(), [&](const auto& e) { return e.first == id; });
        if (it == seen.end())
            seen.emplace_back(id, 1);
        else
            ++it->second;
    }
    auto most = seen.begin();
    for (auto it = seen.begin(); it != seen.end(); ++it)
        if (it->second > most->second)
            most = it;
    return most == seen.end() ? std::string() : most->first;
}

// An image is this board's when most of its good VPD copies hold the ID
// string most of the board's good copies hold; it is whole when every copy
// is good and the copies' records (through the end tag) are alike but for
// what the identity transfer rewrites.  The copies are judged as they are
// written, with the board's identity put in; `whole` says they took it
// (when not, only the ID string is judged: the image is refused for that).
// A refusal for each finding; with force they are let through, kept in
// p.forced.
std::optional<change_refusal> image_refusal(const std::vector<uint8_t>& image, uint32_t first_copy, bool whole,
                                            const vpd_report& board, const write_spec& w, const plan_place& at,
                                            change_plan& p) {
    std::vector<vpd_copy_state> copies;
    std::vector<std::pair<std::vector<uint8_t>, std::vector<int>>> alike;  // masked bytes -> good copies
    for (int i = 0; i < VPD_COPIES_IN_IMAGE; ++i) {
        const size_t c = first_copy + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        if (c + VPD_COPY_SIZE > image.size())
            break;
        const vpd_copy_info info = decode_vpd_copy(&image[c], VPD_COPY_SIZE);
        copies.push_back({i, w.region.first + static_cast<uint32_t>(c), copy_state_name(info),
                          identity_of_copy(&image[c])});
        if (!info.good())
            continue;
        // The record through its end tag; what follows it is no part of it.
        std::vector<uint8_t> masked(&image[c], &image[c] + VPD_COPY_SIZE);
        mask_identity(masked.data(), 0);
        masked.resize(info.end_tag_offset + 1);
        auto it = std::find_if(alike.begin(), alike.end(), [&](const auto& e) { return e.first == masked; });
        if (it == alike.end())
            alike.push_back({std::move(masked), {i}});
        else
            it->second.push_back(i);
    }
    auto most = alike.begin();
    for (auto it = alike.begin(); it != alike.end(); ++it)
        if (it->second.size() > most->second.size())
            most = it;

    std::vector<change_refusal> found;
    auto finding = [&](change_refusal::reason why) -> change_refusal& {
        found.push_back(refusal(why, at));
        found.back().file = w.file;
        return found.back();
    };
    const std::string board_id = board_id_string(board);
    const std::string image_id = most == alike.end() ? std::string() : id_string_of(most->first.data());
    if (most == alike.end() || image_id != board_id) {
        change_refusal& r = finding(change_refusal::reason::image_of_another_board);
        r.board_id = board_id;
        r.image_id = image_id;
        if (most == alike.end())
            r.no_good_copy = true;
    }
    if (whole && most != alike.end()) {
        std::vector<int> differing;
        for (auto it = alike.begin(); it != alike.end(); ++it)
            if (it != most)
                differing.insert(differing.end(), it->second.begin(), it->second.end());
        std::sort(differing.begin(), differing.end());
        const bool all_good = std::all_of(copies.begin(), copies.end(),
                                          [](const vpd_copy_state& c) { return std::strcmp(c.state, "good") == 0; });
        if (!all_good || !differing.empty()) {
            change_refusal& r = finding(change_refusal::reason::image_not_whole);
            r.copies = std::move(copies);
            r.differing = std::move(differing);
        }
    }
    if (found.empty())
        return std::nullopt;
    if (w.force_image) {
        p.forced = std::move(found);
        return std::nullopt;
    }
    return found.front();
}

// A plan of the whole EEPROM as read, applying nothing yet.
change_plan unchanged(std::vector<uint8_t> before) {
    change_plan p;
    p.after = before;
    p.before = std::move(before);
    return p;
}

// p's segments: e's, each with the words it writes of p.after.
void write_segments(change_plan& p, change_extent e) {
    for (plan_segment& seg : e.segments) {
        seg.words = select_words(p.before, p.after, seg.start, seg.length, e.changed_only);
        p.segments.push_back(std::move(seg));
    }
}

// An erase of e's segments with 0xFF, shown region by region.
void plan_erase(change_plan& p, change_extent e) {
    for (const plan_segment& seg : e.segments) {
        const std::vector<uint8_t> ones(seg.length, 0xFF);
        overlay(p.after, seg.start, ones.data(), seg.length);
    }
    p.show_progress = false;
    write_segments(p, std::move(e));
}

}  // namespace

change_extent write_extent(const write_spec& w) {
    return {{{"", w.region.first, static_cast<uint32_t>(w.image->size()), {}}}, w.changed_only};
}

change_extent restore_extent(bool changed_only) { return {{{"", 0, SEEPROM_SIZE, {}}}, changed_only}; }

change_extent clear_init_extent(uint32_t first) { return {{{"Init region", first, INIT_REGION_SIZE, {}}}, false}; }

change_extent clear_vpd_extent() {
    change_extent e;
    for (int n = 0; n < CLEAR_VPD_REGIONS; ++n)
        e.segments.push_back({strprintf("VPD region %d", n),
                              VPD_AREA_START + static_cast<uint32_t>(n) * CLEAR_VPD_REGION_SIZE, CLEAR_VPD_REGION_SIZE,
                              {}});
    return e;
}

change_extent repair_extent() { return {{{"", VPD_AREA_START, VPD_COPY_SIZE * VPD_COPIES_IN_IMAGE, {}}}, true}; }

plan_summary outline_change(const change_extent& e) {
    change_plan p = unchanged(std::vector<uint8_t>(SEEPROM_SIZE, 0xFF));
    write_segments(p, {e.segments, false});  // every word it may write
    summarize_plan(p, 0);
    p.summary.whole_eeprom_read = false;
    p.summary.at_most = e.changed_only;
    return p.summary;
}

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
        const vpd_report board = copies_of(p.before.data());
        if ((p.refusal = untrusted_identity(board, w.file, at)))
            return p;
        const uint32_t first_copy = w.type == image_type::full ? 1024 : 0;
        // The image's copies are judged with the board's identity in them
        // (their checksums made good), or as they are when they cannot take it.
        std::optional<identity_take_fault> why = insert_identity(bytes, VPD_COPIES_IN_IMAGE, first_copy, *p.identity_before);
        const bool takes = !why;
        if ((p.refusal = image_refusal(takes ? bytes : *w.image, first_copy, takes, board, w, at, p)))
            return p;
        if (!takes) {
            p.refusal = refusal(change_refusal::reason::image_takes_no_identity, at);
            p.refusal->file = w.file;
            p.refusal->cannot_take = std::move(why);
            return p;
        }
        p.image_with_identity = bytes;
        p.image_file_takes_identity = image_file_takes_identity(w.type, w.plan_only, w.several);
    }
    overlay(p.after, w.region.first, bytes.data(), static_cast<uint32_t>(bytes.size()));
    p.identity_after = identity_of_copy(&p.after[BOARD_DETAILS_ADDR]);
    p.count_words = w.changed_only;
    p.wrote_at = w.shown_start;
    write_segments(p, write_extent(w));
    return p;
}

change_plan plan_restore(std::vector<uint8_t> before, const std::vector<uint8_t>& image, bool changed_only) {
    change_plan p = unchanged(std::move(before));
    overlay(p.after, 0, image.data(), SEEPROM_SIZE);
    p.image_bytes = SEEPROM_SIZE;
    p.count_words = changed_only;
    p.wrote_at = 0;
    write_segments(p, restore_extent(changed_only));
    return p;
}

change_plan plan_clear_init(std::vector<uint8_t> before, uint32_t first) {
    change_plan p = unchanged(std::move(before));
    plan_erase(p, clear_init_extent(first));
    p.erase_done_after_reset = true;
    return p;
}

change_plan plan_clear_vpd(std::vector<uint8_t> before) {
    change_plan p = unchanged(std::move(before));
    plan_erase(p, clear_vpd_extent());
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
    write_segments(p, repair_extent());
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
