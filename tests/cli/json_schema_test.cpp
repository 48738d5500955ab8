// Every command's JSON document against the schema the manual page gives:
// each key it lists is there with its type, and no other key.
#include <sys/stat.h>

#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/cli_helpers.h"

namespace {

using namespace cli;
using json = nlohmann::json;

struct field {
    std::vector<std::string> types;  // "string", "number", "boolean", "array", "object", "null"
    bool optional = false;
};
using schema = std::map<std::string, std::map<std::string, field>>;  // document -> key -> field

// The lines between the schema marks: ".B name ..." opens the documents
// named, "key type[|type][?]" adds a key to them.
schema schema_of_manual_page() {
    std::istringstream page(read_text(ROMWRIGHT_MAN_PAGE));
    schema s;
    std::vector<std::string> docs;
    bool inside = false;
    for (std::string line; std::getline(page, line);) {
        if (line.find("json-schema-begin") != std::string::npos)
            inside = true;
        else if (line.find("json-schema-end") != std::string::npos)
            inside = false;
        if (!inside || line.empty() || (line[0] == '.' && line.rfind(".B ", 0) != 0))
            continue;
        std::istringstream words(line.rfind(".B ", 0) == 0 ? line.substr(3) : line);
        if (line.rfind(".B ", 0) == 0) {
            docs.clear();
            for (std::string d; words >> d;)
                docs.push_back(d);
            continue;
        }
        std::string key, type;
        words >> key >> type;
        field f;
        f.optional = !type.empty() && type.back() == '?';
        if (f.optional)
            type.pop_back();
        for (size_t p = 0, bar; p <= type.size(); p = bar + 1) {
            bar = type.find('|', p);
            if (bar == std::string::npos)
                bar = type.size();
            f.types.push_back(type.substr(p, bar - p));
        }
        for (const std::string& d : docs)
            s[d][key] = f;
    }
    return s;
}

std::string type_of(const json& v) {
    return v.is_string() ? "string" : v.is_boolean() ? "boolean" : v.is_number() ? "number" : v.is_array() ? "array"
                                                                 : v.is_object() ? "object" : "null";
}

void check(const schema& s, const std::string& doc_name, const json& doc, int status) {
    SCOPED_TRACE(doc_name);
    ASSERT_TRUE(s.count(doc_name));
    const std::map<std::string, field>& keys = s.at(doc_name);
    for (const auto& [key, f] : keys) {
        if (!doc.contains(key)) {
            EXPECT_TRUE(f.optional) << key << " missing";
            continue;
        }
        const std::string t = type_of(doc[key]);
        EXPECT_NE(std::find(f.types.begin(), f.types.end(), t), f.types.end()) << key << " is " << t;
    }
    for (const auto& item : doc.items())
        EXPECT_TRUE(keys.count(item.key())) << item.key() << " is not in the schema";
    EXPECT_EQ(doc["status"], status);
    if (doc_name == "several")  // each adapter's result is the document of its command
        for (const json& one : doc["adapters"])
            check(s, one["command"], one, one["status"]);
}

TEST(json_schema, every_command_gives_the_document_the_manual_page_describes) {
    const schema s = schema_of_manual_page();
    ASSERT_GE(s.size(), 7u) << "the schema lines of the manual page were not found";
    struct doc_case {
        std::vector<std::string> words;
        std::string doc;
        int status;
        std::vector<std::string> sim_opts = {};
        std::vector<std::pair<std::string, json>> values = {};  // key and value; null: the key is absent
    };
    const std::vector<std::string> two = {"--device", "04:00.0", "--device", "05:00.0=five.bin"};
    std::vector<std::string> two_signalled = two;
    two_signalled.insert(two_signalled.end(), {"--raise", "TERM:3"});
    std::vector<std::string> driven = two;
    driven.insert(driven.end(), {"--driver", "rwnic"});
    const doc_case cases[] = {
        {{"list"}, "list", 0},
        {{"-b", "04:00.0", "vpd"}, "vpd", 0},
        {{"-b", "04:00.0", "-len", "8"}, "dump", 0},
        {{"-b", "04:00.0", "read", "r.bin"}, "read", 0},
        {{"-b", "04:00.0", "verify", "-f:img.bin"}, "verify", 1},
        {{"-b", "04:00.0", "write", "-f:img.bin"}, "write", 0},
        {{"-b", "04:00.0", "write", "-f:img.bin", "-plan"}, "write", 0},
        {{"-b", "04:00.0", "write", "-f:img.bin"}, "write", 1, {"--write-protect"}},
        {{"-b", "04:00.0", "restore", "img.bin", "-changed"}, "restore", 0},
        {{"-b", "04:00.0", "repair"}, "repair", 0},
        {{"-b", "04:00.0", "clearinit"}, "clearinit", 0},
        {{"-b", "04:00.0", "clearvpd", "-nobackup"}, "clearvpd", 0},
        {{"-b", "05:00.0", "clearinit"}, "failure", 1},
        {{"-b", "zz", "write"}, "failure", 255},
        // Failures on the adapter, and several adapters: the status is the
        // exit status, a signal is named, and nothing unsaved is described.
        {{"-b", "04:00.0", "-len", "8"}, "dump", 1, {"--frozen"}},
        {{"-b", "04:00.0", "vpd"}, "vpd", 1, {"--frozen"}},
        {{"-b", "04:00.0", "read", "nodir/r.bin"}, "read", 255, {}, {{"sha256", nullptr}}},
        {{"-b", "04:00.0", "read", "/dev/full"}, "failure", 1},  // never written into a device
        {{"-b", "04:00.0", "-b", "07:00.0", "vpd"}, "several", 1, two},
        {{"-b", "all", "-nobackup", "write", "-finit:init.bin"}, "several", 143, two_signalled,
         {{"signal", "SIGTERM"}}},
        // Adapters in service: copy 0 through the kernel, the kernel's file
        // refused, the window refused, changes refused, alone and several.
        {{"-b", "04:00.0", "vpd"}, "vpd", 0, {"--device", "04:00.0=fresh.bin", "--driver", "rwnic"},
         {{"via", "kernel"}, {"copies_read", 1}}},
        {{"-b", "04:00.0", "vpd"}, "vpd", 1, {"--driver", "rwnic", "--stall", "vpd"}, {{"copies_read", 0}}},
        {{"-b", "04:00.0", "vpd", "-via", "registers"}, "vpd", 1, {"--driver", "rwnic"}, {{"devmem_step", "map"}}},
        {{"-b", "04:00.0", "-len", "8"}, "failure", 1, {"--driver", "rwnic"}, {{"errno", "1"}}},
        {{"-b", "04:00.0", "clearinit", "-plan"}, "failure", 1, {"--driver", "rwnic"}, {{"driver", "rwnic"}}},
        {{"-b", "all", "repair"}, "several", 1, driven, {{"skipped", json::array({"0000:04:00.0", "0000:05:00.0"})}}},
    };
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    write_file(b.file("init.bin"), slice(changed_full_image(), 0, 0x400));
    for (const doc_case& c : cases) {
        std::vector<std::string> words = c.words;
        words.push_back("-json");
        const run_result r = b.run(words, c.sim_opts);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        const json doc = json::parse(r.out);  // throws unless the output is one document
        check(s, c.doc, doc, c.status);
        for (const auto& [key, value] : c.values)
            EXPECT_EQ(doc.contains(key) ? doc[key] : json(nullptr), value) << key;
    }
    // A change's result says what it did.
    write_file(b.eeprom(), sample_board());
    run_result r = b.run({"-b", "04:00.0", "-json", "write", "-f:img.bin", "-changed"});
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["changed"], true);
    EXPECT_GT(doc["words_written"].get<int>(), 0);
    EXPECT_TRUE(doc["backup"].is_string());
    EXPECT_EQ(doc["identity_after"]["serial_number"], kBoardSn);
    r = b.run({"-b", "04:00.0", "-json", "write", "-f:img.bin", "-changed"});
    doc = json::parse(r.out);
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(doc["words_written"], 0);
}

}  // namespace
