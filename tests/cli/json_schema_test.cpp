// Every command's JSON document against the schema the manual page gives
// (each key it lists is there with its type, and no other key), the manual
// page's schema lines against the schema files of schemas/, and real
// documents of every kind against those files.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

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

// The same lines made from the schema files: a file's documents are its
// "command" property's values, else its name; each top-level property is a
// key, "integer" a number, optional unless "required" names it.
schema schema_of_files() {
    schema s;
    for (const char* name : {"failure", "list", "vpd", "dump", "read", "verify", "change", "history", "several"}) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(ROMWRIGHT_SCHEMA_DIR) + "/" + name + ".schema.json");
        const nlohmann::ordered_json file = nlohmann::ordered_json::parse(in);
        const nlohmann::ordered_json& command = file["properties"].value("command", nlohmann::ordered_json::object());
        std::vector<std::string> docs;
        if (command.contains("enum"))
            docs = command["enum"].get<std::vector<std::string>>();
        else
            docs = {name};
        for (const auto& p : file["properties"].items()) {
            field f;
            const nlohmann::ordered_json& t = p.value()["type"];
            for (const auto& one : t.is_array() ? t : nlohmann::ordered_json::array({t}))
                f.types.push_back(one == "integer" ? "number" : one.get<std::string>());
            const nlohmann::ordered_json& required = file["required"];
            f.optional = std::find(required.begin(), required.end(), p.key()) == required.end();
            for (const std::string& d : docs)
                s[d][p.key()] = f;
        }
    }
    return s;
}

// A schema's lines as the manual page writes them, one document per key.
std::string schema_text(const schema& s) {
    std::string text;
    for (const auto& [doc, keys] : s)
        for (const auto& [key, f] : keys) {
            text += doc + ": " + key + " ";
            for (size_t i = 0; i < f.types.size(); ++i)
                text += (i ? "|" : "") + f.types[i];
            text += f.optional ? "?\n" : "\n";
        }
    return text;
}

TEST(json_schema, the_manual_page_gives_the_keys_of_the_schema_files) {
    // Either is changed with the other: a key added to one alone fails here.
    EXPECT_EQ(schema_text(schema_of_manual_page()), schema_text(schema_of_files()));
}

// Documents kept as files, then checked against the schema files by
// check-json-schemas (Debian's python3-jsonschema).
class kept_documents {
public:
    // kind: the schema file's name without ".schema.json".
    void keep(const std::string& kind, const json& doc) {
        write_text(dir_.file(std::to_string(1000 + count_++) + "-" + kind + ".json"), doc.dump());
    }
    void check() const {
#ifdef ROMWRIGHT_JSONSCHEMA_PYTHON
        // python3 is the build machine's own program, which an emulator
        // (every program started through it) cannot run: the native run
        // checks the same documents.
        if (const char* emulator = std::getenv("ROMWRIGHT_SIM_EMULATOR"); emulator && *emulator)
            return;
        const run_result r =
            run_program(ROMWRIGHT_JSONSCHEMA_PYTHON, {ROMWRIGHT_SCHEMA_CHECK, ROMWRIGHT_SCHEMA_DIR, dir_.path()});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(std::to_string(count_) + " documents checked"), std::string::npos) << r.out;
#else
        std::fprintf(stderr, "python3-jsonschema not found when configured: the documents were not checked against "
                             "the schema files (scripts/deps test installs it)\n");
#endif
    }

private:
    temp_dir dir_;
    int count_ = 0;
};

// The schema file of a document of the manual page.
std::string kind_of(const std::string& doc) {
    for (const char* change : {"write", "restore", "clearinit", "clearvpd", "repair"})
        if (doc == change)
            return "change";
    return doc;
}

std::string type_of(const json& v) {
    return v.is_string() ? "string" : v.is_boolean() ? "boolean" : v.is_number() ? "number" : v.is_array() ? "array"
                                                                 : v.is_object() ? "object" : "null";
}

void check(const schema& s, const std::string& doc_name, const json& doc, int status, kept_documents& kept) {
    SCOPED_TRACE(doc_name);
    kept.keep(kind_of(doc_name), doc);
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
            check(s, one["command"], one, one["status"], kept);
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
        {{"-b", "04:00.0", "clearinit"}, "failure", 1, {"--driver", "rwnic"}, {{"driver", "rwnic"}}},
        {{"-b", "04:00.0", "clearinit", "-plan"}, "clearinit", 1, {"--driver", "rwnic"}, {{"via", "kernel"}}},
        {{"-b", "04:00.0", "repair", "-plan"}, "repair", 1, {"--lockdown", "integrity", "--stall", "vpd"},
         {{"copy0", nullptr}, {"copies_read", 0}}},
        {{"-b", "all", "repair"}, "several", 1, driven, {{"skipped", json::array({"0000:04:00.0", "0000:05:00.0"})}}},
    };
    kept_documents kept;
    board b;
    write_file(b.file("img.bin"), changed_full_image());
    write_file(b.file("init.bin"), slice(changed_full_image(), 0, 0x400));
    for (const doc_case& c : cases) {
        std::vector<std::string> words = c.words;
        words.push_back("-json");
        const run_result r = b.run(words, c.sim_opts);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        const json doc = json::parse(r.out);  // throws unless the output is one document
        check(s, c.doc, doc, c.status, kept);
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
    // The history of those changes, and each of its records.
    r = b.run({"-json", "history"});
    doc = json::parse(r.out);
    check(s, "history", doc, 0, kept);
    ASSERT_FALSE(doc["records"].empty());
    for (const json& record : doc["records"])
        kept.keep("history-record", record);
    // romwright-vpd's documents: an image's check, set, digest, a failure.
    const std::vector<std::pair<std::vector<std::string>, std::string>> tool_runs = {
        {{"--json", "img.bin"}, "romwright-vpd"},
        {{"set", "--json", "--pn", "P999", "--sn", "S1", "--mac", "0c:4e:29:00:00:01", "img.bin", "set.bin"},
         "romwright-vpd-set"},
        {{"digest", "--json", "img.bin", "set.bin"}, "romwright-vpd-digest"},
        {{"--json", "missing.bin"}, "failure"},
    };
    for (const auto& [words, kind] : tool_runs) {
        r = run_program(vpd_path(), words, b.file(""));
        kept.keep(kind, json::parse(r.out));
        EXPECT_EQ(json::parse(r.out)["schema_version"], 5) << kind;
    }
    // A padded identity (set's), its bytes beside its values.
    const std::vector<std::string> padded = {"--device", "06:00.0=set.bin"};
    doc = json::parse(b.run({"-b", "06:00.0", "-json", "vpd"}, padded).out);
    ASSERT_TRUE(doc["copies"][0].contains("part_number_raw"));
    check(s, "vpd", doc, 0, kept);
    doc = json::parse(b.run({"-b", "06:00.0", "-json", "write", "-f:img.bin"}, padded).out);
    ASSERT_TRUE(doc["identity_before"].contains("serial_number_raw"));
    check(s, "write", doc, 0, kept);
    kept.check();
}

}  // namespace
