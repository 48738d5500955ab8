// vpd: the VPD copies checked, and whether they agree; through the
// registers all 14, through the kernel's VPD file copy 0 alone.
#include "eeprom/image_digest.h"
#include "romwright/commands/shared.h"
#include "romwright/in_service.h"
#include "romwright/vpd_render.h"

namespace {

// With -prometheus the whole EEPROM is read, for the image digest its
// metrics give.
void run(command_context& c, run_outcome& o) {
    if (c.rq.prometheus_file.empty()) {
        o.output = read_vpd_copies(*c.session);
    } else {
        std::vector<uint8_t> eeprom;
        o.output = read_vpd_copies(*c.session, &eeprom);
        o.image_digest = held_image_digest(eeprom);
    }
    if (o.vpd_path)
        o.vpd_path->copies_read = o.output.get<vpd_report>()->copies.size();
}

// While a journal stands, the copies may look whole and still be half-written.
void verdict(run_outcome& o) {
    if (o.interrupted || !o.output.get<vpd_report>()->all_good())
        o.kind = error_kind::failed;
}

bool through_kernel(const run_outcome& o) { return o.vpd_path && o.vpd_path->via == vpd_source::kernel; }

// Copy 0 read through the kernel is never summed up as the whole check:
// the note says what was read and what the full check needs.
std::string text(const request& rq, const run_outcome& o) {
    const vpd_report& r = *o.output.get<vpd_report>();
    if (!through_kernel(o))
        return render_vpd_report_text(r, rq.every_copy);
    const std::string state = r.copies.empty() ? "not read" : copy_state_name(r.copies.front().info);
    const std::string empty = o.vpd_path->file_bytes == 0 ? "The kernel's VPD file is empty: copy 0 is blank or "
                                                            "missing.\n"
                                                          : "";
    return kernel_view_note(o) + empty + render_vpd_copies_text(r, rq.every_copy) +
           strprintf("Summary: copy 0 %s (%zu of %d copies read, through the kernel's VPD file)\n", state.c_str(),
                     r.copies.size(), VPD_COPIES_IN_IMAGE) +
           full_check_text(o);
}

// The document vpd has always given, with the interruption when one stands,
// where the copies came from and how many were read.
void keys(json_value& doc, const request&, const run_outcome& o) {
    if (const vpd_report* r = o.output.get<vpd_report>()) {
        const json_value report = vpd_report_json(*r);
        for (const auto& item : report.items())
            doc[item.key()] = item.value();
    }
    put_interrupted(doc, o);
    if (o.vpd_path) {
        doc["via"] = vpd_source_word(o.vpd_path->via);
        doc["copies_read"] = o.vpd_path->copies_read;
        if (o.vpd_path->via == vpd_source::kernel)
            doc["vpd_file"] = o.vpd_path->file;
    }
}

}  // namespace

extern const command_row vpd_row = command_row("vpd")
                                       .helps("vpd", "check the 14 VPD copies and whether they agree")
                                       .option_bits(ADAPTER_OPTIONS | TAKES_PROMETHEUS | TAKES_VIA | TAKES_EVERY_COPY |
                                                    TAKES_METRICS_STATUS)
                                       .runs(run)
                                       .judges(verdict)
                                       .says(text)
                                       .keys(keys)
                                       .reports_boards<vpd_report>();
