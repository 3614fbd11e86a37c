// Configuration nodes: parsing the bridge's document, emission round trips, copies, the scalar
// conventions and the faults a hostile or broken document can hold.
#include "config_commit.h"
#include "vyl_yaml.h"
#include "vyl_yaml_dynamic.h"

#include "bridge_document.h"
#include "test_env.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <tuple>
#include <unistd.h>

namespace {

using testenv::kBridgeDocument;

template <class T> struct Cloning : CVylKnownSparseMap {
    CVylYamlMixin* clone() const override {
        auto* c = new T;
        *c = static_cast<const T&>(*this);
        return c;
    }
};

// A tree shaped like the bridge's configuration, built only from the library's node types.
struct Gate : Cloning<Gate> {
    CVylScalar body, retval;
    Gate() {
        registerKey("body", &body);
        registerKey("retval", &retval);
    }
    bool valid() const override {
        return CVylKnownSparseMap::valid() && !retval.getStringRef().empty();
    }
};

struct WhitelistEntry : Cloning<WhitelistEntry> {
    CVylScalarInteger idVendor;
    CVylScalar builtin;
    WhitelistEntry() {
        registerKey("idVendor", &idVendor);
        registerKey("builtin", &builtin);
    }
};

struct DeviceSpec : Cloning<DeviceSpec> {
    CVylYamlDynamicList<WhitelistEntry> whitelist;
    DeviceSpec() { registerKey("whitelist", &whitelist); }
};

struct Network : Cloning<Network> {
    CVylScalar gate{EVSF_DEFAULT, "wanUp"};
    CVylScalarInteger toSvr;
    CVylScalar ip;
    Network() {
        registerKey("gate", &gate);
        registerKey("maxBufBytesToSvr", &toSvr);
        registerKey("overrideServerIPAddr", &ip);
    }
};

struct Serial : Cloning<Serial> {
    CVylYamlDynamicList<DeviceSpec> device;
    CVylScalarInteger retryTimeout{10};
    Serial() {
        registerKey("device", &device);
        registerKey("retryTimeout", &retryTimeout);
    }
};

struct Config : Cloning<Config> {
    CVylScalarBool enabled;
    Network network;
    Serial serial;
    Config() {
        registerKey("enabled", &enabled);
        registerOwnedKey("gatesTriggers", new CVylYamlDynamicMapSK<Gate>());
        registerKey("networkSettings", &network);
        registerKey("serialSettings", &serial);
    }
    // Reached through the key map only: a pointer member would be shared by copy assignment.
    CVylYamlDynamicMapSK<Gate>* gates() const {
        return static_cast<CVylYamlDynamicMapSK<Gate>*>(getNode("gatesTriggers"));
    }
};

std::unique_ptr<Config> parsed(const std::string& text) {
    auto c = std::make_unique<Config>();
    std::string err;
    EXPECT_EQ(0, c->_yamlParseBuf(text, &err)) << err;
    return c;
}

std::string emitted(const CVylYamlMixin& node) {
    std::string out, err;
    EXPECT_EQ(0, node._yamlEmitBuf(out, &err)) << err;
    return out;
}

} // namespace

TEST(AYamlConfigTree, ReadsTheBridgeDocumentAndWritesItBack) {
    auto c = parsed(kBridgeDocument);
    ASSERT_TRUE(c->valid());
    ASSERT_EQ(2u, c->serial.device.getLength());
    EXPECT_EQ("tty", c->serial.device.getElement(1)->whitelist.getElement(0)->builtin.getString());

    // Registration order is kept, and hex stays hex.
    const std::string first = emitted(*c);
    EXPECT_TRUE(*parsed(first) == *c) << first;
    EXPECT_LT(first.find("enabled"), first.find("serialSettings"));
    EXPECT_NE(std::string::npos, first.find("idVendor: 0x067b\n")) << first;
    EXPECT_NE(std::string::npos, first.find("overrideServerIPAddr: ''")) << first;

    // Copies are deep, through clone and through the node interface; a node of another kind
    // leaves the target cleared.
    std::unique_ptr<CVylYamlMixin> copy(c->clone());
    auto* cc = dynamic_cast<Config*>(copy.get());
    ASSERT_NE(nullptr, cc);
    cc->serial.device.getElement(0)->whitelist.getElement(1)->idVendor.setValue(1);
    cc->gates()->getVal("wanUp")->retval.setString("true");
    EXPECT_EQ(0x0557, c->serial.device.getElement(0)->whitelist.getElement(1)->idVendor.getValue());
    EXPECT_EQ("osv.wan.active ~= nil", c->gates()->getVal("wanUp")->retval.getString());
    CVylYamlMixin& base = *cc;
    base = static_cast<const CVylYamlMixin&>(*c);
    EXPECT_TRUE(*cc == *c);
    CVylScalar text;
    base = text;
    EXPECT_FALSE(cc->network.toSvr.isSet());
    EXPECT_EQ(0u, cc->gates()->size());
}

TEST(AYamlConfigTree, SkipsUnknownKeysAndTakesNullsAndMissingKeysAsUnset) {
    auto c = parsed("future: {deep: [1, 2, {x: [y]}]}\nenabled:\nserialSettings: {device: }\n"
                    "networkSettings:\n  maxBufBytesToSvr: 100\n  gate: ~\n  extra: |\n    text\n");
    // The gate keeps its construction default.
    EXPECT_TRUE(c->valid() && !c->enabled.isSet() && !c->serial.device.isPopulated());
    EXPECT_TRUE(c->network.toSvr.getValue() == 100 && c->network.gate.getString() == "wanUp");
    // Missing keys are not written back either.
    const std::string out = emitted(*c);
    EXPECT_EQ(std::string::npos, out.find("retryTimeout") & out.find("future")) << out;

    // A reused node forgets the previous document.
    ASSERT_EQ(0, c->_yamlParseBuf(kBridgeDocument));
    ASSERT_EQ(0, c->_yamlParseBuf("enabled: yes\n"));
    EXPECT_EQ(0u, c->gates()->size() + c->serial.device.getLength());
}

// Each text, written after "v: ", reads as the paired value; the refused ones make the node
// invalid.
template <class S>
void checkScalars(const std::vector<std::pair<const char*, double>>& read,
                  const std::vector<const char*>& refused) {
    struct Holder : CVylKnownSparseMap {
        S v;
        Holder() { registerKey("v", &v); }
        CVylYamlMixin* clone() const override { return nullptr; }
    };
    for (const auto& [text, value] : read) {
        Holder h;
        EXPECT_EQ(0, h._yamlParseBuf(std::string("v: ") + text));
        EXPECT_TRUE(h.valid() && value == static_cast<double>(h.v.getValue())) << text;
    }
    for (const char* text : refused) {
        Holder h;
        EXPECT_EQ(0, h._yamlParseBuf(std::string("v: ") + text));
        EXPECT_FALSE(h.valid()) << text;
    }
}

TEST(AYamlScalar, ReadsBooleansIntegersAndFloats) {
    checkScalars<CVylScalarBool>({{"No", 0}, {"TRUE", 1}, {"on", 1}, {"'yes'", 1}},
                                 {"1", "yess", "''"});
    // Leading zeros are decimal.
    checkScalars<CVylScalarInteger>(
        {{"-0x10", -16}, {"010", 10}, {"9223372036854775807", 9223372036854775807.0}},
        {"9223372036854775808", "0x10000000000000000", "0x", "0x-1", "1.5", "10s", "''"});
    checkScalars<CVylScalarFloat>({{"-0.25", -0.25}, {"1e3", 1000}}, {"nan", "inf", "1e999"});
}

// Scalars compare by value (an unset one by its construction default) and convert on
// assignment; lists compare as multisets.
TEST(AYamlNode, ComparesByValue) {
    CVylScalarInteger a, b, withDefault(10);
    a.setString("0x10");
    b.setValue(10);
    CVylScalar text;
    text.setString("16");
    EXPECT_TRUE(withDefault == b && !(a == static_cast<const CVylYamlMixin&>(text)));
    b = static_cast<const CVylYamlMixin&>(text);
    EXPECT_TRUE(a == b);

    CVylYamlDynamicScalarList x, y, z;
    ASSERT_EQ(0, x._yamlParseBuf("[a, a, b]") + y._yamlParseBuf("[a, b, b]") +
                     z._yamlParseBuf("[b, a, a]"));
    EXPECT_TRUE(x != y && y != x && x == z);
}

TEST(AYamlConfigTree, HandlesMalformedDocuments) {
    enum EOutcome { OK, INVALID, FAILS };
    const std::vector<std::tuple<const char*, std::string, EOutcome>> cases = {
        {"empty input", "", FAILS},
        {"unclosed flow", "enabled: [yes\n", FAILS},
        {"duplicate key", "enabled: yes\nenabled: no\n", FAILS},
        {"duplicate unknown key", "x: 1\nx: 2\n", FAILS},
        {"scalar list element for a map", "serialSettings:\n  device: [usb]\n", FAILS},
        {"alias", "a: &x yes\nenabled: *x\n", FAILS},
        {"invalid utf-8", "enabled: \xff\xfe\n", FAILS},
        {"nul byte", std::string("enabled: yes\n\0", 14), FAILS},
        {"deep unknown list", std::string(100000, '[') + std::string(100000, ']'), FAILS},
        {"text for a bool", "enabled: maybe\n", INVALID},
        {"gate without retval", "gatesTriggers:\n  g:\n    body: x\n", INVALID},
        {"byte order mark", std::string("\xef\xbb\xbf") + "enabled: no\n", OK},
    };
    for (const auto& [desc, text, outcome] : cases) {
        SCOPED_TRACE(desc);
        Config c;
        std::string err;
        const int rc = c._yamlParseBuf(text, &err);
        EXPECT_TRUE(outcome == FAILS ? rc != 0 && !err.empty() : rc == 0 && err.empty()) << err;
        EXPECT_TRUE(outcome == FAILS || (outcome == OK) == c.valid());
    }

    // A node of the wrong kind is invalid, and the error says where.
    Config c;
    std::string err;
    ASSERT_NE(0, c._yamlParseBuf("enabled: no\nnetworkSettings:\n  gate: [x]\n", &err));
    EXPECT_FALSE(c.network.gate.valid());
    EXPECT_NE(std::string::npos, err.find("line 3")) << err;
}

// A node type that nests without end, as a hostile document would like.
struct Tree : Cloning<Tree> {
    Tree() { registerOwnedKey("kids", new CVylYamlDynamicList<Tree>()); }
};

TEST(AYamlConfigTree, CapsNesting) {
    const auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i)
            text = "{kids: [" + text + "]}";
        return text;
    };
    Tree t;
    std::string err; // each level is a mapping and a sequence
    EXPECT_EQ(0, t._yamlParseBuf(nested(VYL_YAML_MAX_DEPTH / 2), &err)) << err;
    EXPECT_NE(0, t._yamlParseBuf(nested(VYL_YAML_MAX_DEPTH / 2 + 1), &err));
    EXPECT_NE(std::string::npos, err.find("nesting too deep")) << err;
}

TEST(AYamlConfigTree, ReadsFilesAndRefusesWhatIsNotOne) {
    testenv::TempRoot root;
    root.write("a.yaml", kBridgeDocument);
    Config c;
    std::string err;
    ASSERT_EQ(0, c._yamlParseFile((root / "a.yaml").c_str(), &err)) << err;
    EXPECT_TRUE(*parsed(kBridgeDocument) == c);

    // A failed read leaves the node cleared.
    EXPECT_NE(0, c._yamlParseFile((root / "missing.yaml").c_str(), &err));
    EXPECT_TRUE(err.find("No such file") != std::string::npos && c.gates()->size() == 0) << err;
    EXPECT_NE(0, c._yamlParseFile(root.path().c_str(), &err)); // a folder

    // Oversized files are refused before parsing (sparse, so cheap to make).
    const std::string big = root / "a.yaml";
    ASSERT_EQ(0, truncate(big.c_str(), VYL_YAML_MAX_FILE_BYTES + 1));
    EXPECT_NE(0, c._yamlParseFile(big.c_str(), &err));
    EXPECT_NE(std::string::npos, err.find("too large")) << err;

    // Committed whole, even when empty, and nothing but the copy and the log stay behind.
    root.write("etc/empty.yaml", "");
    ASSERT_EQ(0, configFileCommit((root / "etc/empty.yaml").c_str(), "empty", &err)) << err;
    std::set<std::string> repo;
    for (const auto& entry : std::filesystem::directory_iterator(root / "var/lib/vyl/config-repo"))
        repo.insert(entry.path().filename());
    EXPECT_EQ(repo, (std::set<std::string>{"commits.log", "empty.yaml"}));
}
