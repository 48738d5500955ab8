// romwright-vpd: the vpd command's check on image files, and the identity
// of a new board set into a copy of an image.  Needs no hardware and no
// privilege.
//
//   romwright-vpd [--json] FILE
//   romwright-vpd set --pn PART --sn SERIAL --mac MAC [--json] FILE OUT
//   romwright-vpd digest [--json] [--held] FILE...
//
// Status: 0 success (every copy good, the copies agreeing; OUT written),
// 1 the image fails the check or cannot take the identity, 2 a usage error
// or a file that cannot be read, has the wrong size, or (OUT) cannot be
// created, or standard output that cannot be written.  Every message goes
// to standard output (under --json one JSON document), except the note
// that standard output itself failed, which goes to standard error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "common/error.h"
#include "common/input_file.h"
#include "common/replace_file.h"
#include "common/unique_fd.h"
#include "eeprom/eeprom.h"
#include "eeprom/image_digest.h"
#include "eeprom/vpd.h"
#include "eeprom/vpd_report.h"
#include "romwright/messages.h"
#include "romwright/stdout_check.h"
#include "romwright/vpd_render.h"

namespace {

constexpr const char* PROGRAM = "romwright-vpd";

// kind: error_kind::refused for an image that fails the check or cannot
// take the identity (status 1), error_kind::tool_usage for the command
// line and files (status 2).
[[noreturn]] void fail(error_kind kind, const std::string& message) {
    throw failure(kind, std::string(PROGRAM) + ": " + message + "\n");
}

// Standard output, and the errno of the first write to it that failed.
class standard_output {
public:
    void put(const std::string& text) {
        if (std::fputs(text.c_str(), stdout) == EOF && first_errno_ == 0)
            first_errno_ = errno;
    }
    int first_errno() const { return first_errno_; }

private:
    int first_errno_ = 0;
};

std::string escaped(const std::string& s) {
    return vpd_escape(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
}

// The bytes of a whole-EEPROM image file or a VPD-only one, and where its
// first VPD copy lies.
struct image_contents {
    std::vector<uint8_t> bytes;
    size_t first_copy;
};

image_contents load_image(const std::string& path) {
    // One byte more than the largest image shows a longer file as such; a
    // pipe is read once, a FIFO nobody writes reads as empty.
    input_file in = read_input_file(path, {SEEPROM_SIZE, true});
    if (!in.ok())
        fail(error_kind::tool_usage, (in.error == EISDIR ? "cannot read " : "cannot open ") + escaped(path) + ": " +
                                         (in.error ? in.refusal : "it " + in.refusal));
    image_contents img{std::move(in.bytes), 0};
    const size_t n = img.bytes.size();
    if (n == SEEPROM_SIZE)
        img.first_copy = VPD_AREA_START;
    else if (n != VPD_AREA_SIZE)
        fail(error_kind::tool_usage,
             escaped(path) + (n > SEEPROM_SIZE ? " holds more than 32768 bytes" : strprintf(" holds %zu bytes", n)) +
                 "; expected a whole-EEPROM image (32768 bytes) or a VPD-only image (31744 bytes)");
    return img;
}

int check_image(standard_output& output, const std::string& path, bool json, bool every_copy) {
    const image_contents img = load_image(path);
    const vpd_report r = make_vpd_report(img.bytes.data() + img.first_copy, VPD_COPIES_IN_IMAGE, VPD_AREA_START);
    output.put(json ? render_vpd_report_json(r) : render_vpd_report_text(r, every_copy));
    return exit_status_of(r.verdict());
}

// A part or serial number: 1 to `width` printable ASCII characters, not all
// blanks, padded on the right with blanks to the field's width.
std::string padded_text(const char* option, const char* what, const std::string& value, size_t width) {
    bool printable = !value.empty();
    for (unsigned char c : value)
        printable = printable && c >= 0x20 && c <= 0x7E;
    if (!printable || value.size() > width)
        fail(error_kind::tool_usage, strprintf("%s '%s': the %s must be 1 to %zu printable ASCII characters",
                                               option, escaped(value).c_str(), what, width));
    if (value.find_first_not_of(' ') == std::string::npos)
        fail(error_kind::tool_usage,
             strprintf("%s '%s': the %s must not be all blanks", option, escaped(value).c_str(), what));
    return value + std::string(width - value.size(), ' ');
}

// Twelve hexadecimal digits, bare or in six pairs separated all by ':' or
// all by '-', stored bare with capital letters as boards carry them.
std::string mac_digits(const std::string& value) {
    std::string digits = value;
    if (value.size() == 17 && (value[2] == ':' || value[2] == '-')) {
        bool pairs = true;
        std::string bare;
        for (size_t i = 0; i < value.size(); ++i)
            if (i % 3 == 2)
                pairs = pairs && value[i] == value[2];
            else
                bare += value[i];
        if (pairs)
            digits = bare;
    }
    bool hex = digits.size() == MAC_ADDRESS_LEN;
    for (unsigned char c : digits)
        hex = hex && std::isxdigit(c);
    if (!hex)
        fail(error_kind::tool_usage, "--mac '" + escaped(value) +
                                         "': the MAC address must be 12 hexadecimal digits, bare or as six pairs "
                                         "separated by ':' or '-'");
    std::string upper = digits;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// An option's value that begins with '-' is the next option word, taken as
// the value of an option given without one.  Checked while the words are
// parsed, so that it is the first complaint.
void check_value_given(const char* option, const std::string& value) {
    if (!value.empty() && value[0] == '-')
        fail(error_kind::tool_usage,
             strprintf("%s needs a value; '%s' is taken for another option (see romwright-vpd --help)", option,
                       escaped(value).c_str()));
}


// Creates OUT (never over anything that stands there, a link included)
// through the one door for files written; nothing is left behind on a
// failure.
void write_new_file(const std::string& out, const std::vector<uint8_t>& bytes) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool made = false;
    try {
        made = create_file(out, "the image", bytes.data(), bytes.size(), 0666 & ~mask);
    } catch (const failure& f) {
        std::string step, reason;
        for (const failure::fact& fact : f.facts())
            (fact.first == "step" ? step : reason) = fact.second;
        fail(error_kind::tool_usage, step == "cannot create a temporary file beside it"
                                         ? "cannot create " + escaped(out) + ": " + reason
                                         : "writing " + escaped(out) + " failed: " + reason +
                                               "; nothing was left behind");
    }
    if (!made)
        fail(error_kind::tool_usage, escaped(out) + " already exists; it is never overwritten");
}

// After the insertion every copy must show the identity through its own
// keywords: an image laid out otherwise would have had bytes overwritten
// that belong to other fields.
void check_identity_in_keywords(const image_contents& img, const std::string& path) {
    static const struct {
        const char* keyword;
        uint32_t offset, length;
    } fields[] = {{"PN", VPD_PART_NUM_OFFSET, PART_NUM_LEN},
                  {"SN", VPD_SERIAL_NUM_OFFSET, SERIAL_NUM_LEN},
                  {"NA", VPD_MAC_OFFSET, MAC_ADDRESS_LEN}};
    for (int i = 0; i < VPD_COPIES_IN_IMAGE; ++i) {
        const size_t at = img.first_copy + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        const vpd_copy_info info = decode_vpd_copy(img.bytes.data() + at, VPD_COPY_SIZE);
        for (const auto& f : fields) {
            const vpd_keyword* k = info.find(f.keyword);
            if (!k || k->offset != f.offset || k->length != f.length)
                fail(error_kind::refused,
                     strprintf("%s: the VPD copy at file offset 0x%zx has no %s keyword of %u bytes at offset %u, "
                               "where the identity goes; nothing was written",
                               escaped(path).c_str(), at, f.keyword, f.length, f.offset));
        }
    }
}

// The new image is kept only when every copy in it decodes as good: an
// input copy that is broken elsewhere (no end tag, say) stays broken with
// its checksum fixed.
void check_copies_good(const image_contents& img, const std::string& path) {
    for (int i = 0; i < VPD_COPIES_IN_IMAGE; ++i) {
        const size_t at = img.first_copy + size_t{VPD_COPY_SIZE} * static_cast<size_t>(i);
        const vpd_copy_info info = decode_vpd_copy(img.bytes.data() + at, VPD_COPY_SIZE);
        if (info.good())
            continue;
        std::string why;
        for (const vpd_problem& p : info.problems)
            why += (why.empty() ? "" : "; ") + vpd_problem_text(p);
        if (why.empty())
            why = std::string("checksum ") + vpd_checksum_name(info.checksum);
        fail(error_kind::refused,
             strprintf("%s: with the identity set, the VPD copy at file offset 0x%zx (copy %d) is not good (%s); "
                       "nothing was written",
                       escaped(path).c_str(), at, i, why.c_str()));
    }
}

int set_identity(standard_output& output, const std::string& pn_arg, const std::string& sn_arg,
                 const std::string& mac_arg, const std::string& path, const std::string& out, bool json) {
    const std::string pn = padded_text("--pn", "part number", pn_arg, PART_NUM_LEN);
    const std::string sn = padded_text("--sn", "serial number", sn_arg, SERIAL_NUM_LEN);
    const std::string mac = mac_digits(mac_arg);
    image_contents img = load_image(path);
    if (const std::optional<identity_take_fault> why =
            insert_identity(img.bytes, VPD_COPIES_IN_IMAGE, static_cast<int32_t>(img.first_copy), {pn, sn, mac}))
        fail(error_kind::refused,
             escaped(path) + " cannot take the identity: " + identity_take_fault_text(*why) + "; nothing was written");
    check_identity_in_keywords(img, path);
    check_copies_good(img, path);
    write_new_file(out, img.bytes);
    if (json) {
        json_value doc = {{"schema_version", JSON_SCHEMA_VERSION},
                          {"written", escaped(out)},
                          {"bytes", img.bytes.size()},
                          {"copies", VPD_COPIES_IN_IMAGE}};
        put_identity_field(doc, "part_number", pn);
        put_identity_field(doc, "serial_number", sn);
        put_identity_field(doc, "mac_address", mac, true);
        doc["status"] = 0;
        output.put(doc.dump(2) + "\n");
    } else {
        output.put(strprintf("Wrote %s: part number %s, serial number %s, MAC address %s in all %d VPD copies, each "
                       "checksum fixed\n",
                       escaped(out).c_str(), pn.c_str(), sn.c_str(), mac.c_str(), VPD_COPIES_IN_IMAGE));
    }
    return EXIT_STATUS_OK;
}

// Each file's image digest, in the sha256sum layout ("DIGEST  FILE").
// held: held_image_digest(), what vpd -prometheus gives of a board.
int print_digests(standard_output& output, const std::vector<std::string>& files, bool json, bool held) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    std::string text;
    for (const std::string& f : files) {
        const image_contents img = load_image(f);
        const std::string digest = held ? held_image_digest(img.bytes) : image_digest(img.bytes);
        text += digest + "  " + escaped(f) + "\n";
        list.push_back({{"file", escaped(f)}, {"digest", digest}});
    }
    if (json)
        output.put(json_value{{"schema_version", JSON_SCHEMA_VERSION}, {"digests", list}, {"status", 0}}.dump(2) +
                   "\n");
    else
        output.put(text);
    return EXIT_STATUS_OK;
}

// --json anywhere before "--" asks for JSON, errors of the command line
// itself included.
bool asks_for_json(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}

int run(standard_output& output, int argc, char** argv, bool json) {
    CLI::App app{"Checks the VPD copies of an EEPROM image file, or sets a board's identity into a copy of one.",
                 PROGRAM};
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", std::string(PROGRAM) + " " ROMWRIGHT_VERSION, "print the version");
    std::string file;
    app.add_flag("--json", json, "print the result as one JSON document");
    bool every_copy = false;
    app.add_flag("-v", every_copy, "show every copy, identical ones too");
    app.add_option("FILE", file, "whole-EEPROM (32768 bytes) or VPD-only (31744 bytes) image to check");

    CLI::App* set = app.add_subcommand("set", "write OUT: FILE with this identity in all 14 VPD copies");
    set->add_flag("--json", json, "print the result as one JSON document");
    std::string pn, sn, mac, in, out;
    set->add_option("--pn", pn, "part number, 1-16 printable ASCII characters (blank-padded)")
        ->required()
        ->each([](const std::string& v) { check_value_given("--pn", v); });
    set->add_option("--sn", sn, "serial number, 1-24 printable ASCII characters (blank-padded)")
        ->required()
        ->each([](const std::string& v) { check_value_given("--sn", v); });
    set->add_option("--mac", mac, "MAC address, 12 hexadecimal digits, bare or as pairs separated by : or -")
        ->required()
        ->each([](const std::string& v) { check_value_given("--mac", v); });
    set->add_option("FILE", in, "the image to start from; never changed")->required();
    set->add_option("OUT", out, "the new image; must not exist")->required();

    CLI::App* digest = app.add_subcommand("digest", "print each FILE's image digest (identity bytes masked)");
    digest->add_flag("--json", json, "print the result as one JSON document");
    bool held = false;
    digest->add_flag("--held", held,
                     "the digest of what a write carries (skip window and status word masked too), as romwright vpd "
                     "-prometheus gives it of a board");
    std::vector<std::string> digest_files;
    digest->add_option("FILE", digest_files, "whole-EEPROM or VPD-only images")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        output.put(app.help());
        return EXIT_STATUS_OK;
    } catch (const CLI::CallForVersion& v) {  // as text, --json or not
        output.put(std::string(v.what()) + "\n");
        return EXIT_STATUS_OK;
    } catch (const CLI::ParseError& e) {
        fail(error_kind::tool_usage, std::string(e.what()) + " (see romwright-vpd --help)");
    }
    if (set->parsed()) {
        // A word before set, or one after OUT, lands in the check's FILE.
        if (!file.empty())
            fail(error_kind::tool_usage, "'" + escaped(file) +
                                             "' does not belong with set, which takes its options, FILE and OUT "
                                             "and nothing else (see romwright-vpd --help)");
        return set_identity(output, pn, sn, mac, in, out, json);
    }
    if (digest->parsed()) {
        if (!file.empty())
            fail(error_kind::tool_usage, "'" + escaped(file) + "' does not belong before digest (see romwright-vpd --help)");
        return print_digests(output, digest_files, json, held);
    }
    if (file.empty())
        fail(error_kind::tool_usage, "name an image file (see romwright-vpd --help)");
    return check_image(output, file, json, every_copy);
}

}  // namespace

int main(int argc, char** argv) {
    const bool json = asks_for_json(argc, argv);
    standard_output output;
    int status = EXIT_STATUS_OK;
    const auto report = [&](const failure& f) {
        status = f.status();
        output.put(json ? render_json_error(message_of(f), status) : message_of(f));
    };
    try {
        status = run(output, argc, argv, json);
    } catch (const failure& f) {
        report(f);
    } catch (const std::exception& e) {
        report(failure(error_kind::tool_usage, std::string(PROGRAM) + ": " + e.what() + "\n"));
    }
    // Output that did not reach its destination is a failure.
    if (standard_output_lost(PROGRAM, output.first_errno()))
        status = exit_status_of(error_kind::tool_usage);
    return status;
}
