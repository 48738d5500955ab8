// vpd: the VPD copies checked, and whether they agree.
#include "eeprom/image_digest.h"
#include "romwright/commands/shared.h"

namespace {

// With -prometheus the whole EEPROM is read, for the image digest its
// metrics give.
void run(command_context& c, run_outcome& o) {
    if (c.rq.prometheus_file.empty()) {
        o.output = read_vpd_copies(*c.session);
        return;
    }
    std::vector<uint8_t> eeprom;
    o.output = read_vpd_copies(*c.session, &eeprom);
    o.image_digest = held_image_digest(eeprom);
}

// While a journal stands, the copies may look whole and still be half-written.
void verdict(run_outcome& o) {
    if (o.interrupted || !o.output.get<vpd_report>()->all_good())
        o.kind = error_kind::failed;
}

std::string text(const request& rq, const run_outcome& o) {
    return render_vpd_report_text(*o.output.get<vpd_report>(), rq.every_copy);
}

// The document vpd has always given, with the interruption when one stands.
void keys(json_value& doc, const request&, const run_outcome& o) {
    if (const vpd_report* r = o.output.get<vpd_report>()) {
        const json_value report = vpd_report_json(*r);
        for (const auto& item : report.items())
            doc[item.key()] = item.value();
    }
    put_interrupted(doc, o);
}

}  // namespace

extern const command_row vpd_row = command_row("vpd")
                                       .helps("vpd", "check the 14 VPD copies and whether they agree")
                                       .option_bits(ADAPTER_OPTIONS | TAKES_PROMETHEUS | TAKES_EVERY_COPY | TAKES_METRICS_STATUS)
                                       .runs(run)
                                       .judges(verdict)
                                       .says(text)
                                       .keys(keys)
                                       .reports_boards<vpd_report>();
