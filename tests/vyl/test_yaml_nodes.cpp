// Configuration nodes: parsing the bridge's document, emission round trips, copies, the scalar
// conventions and the faults a hostile or broken document can hold.
#include "vyl_yaml.h"
#include "vyl_yaml_dynamic.h"

#include "bridge_document.h"
#include "test_env.h"

#include <fstream>
#include <gtest/gtest.h>
#include <memory>
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
    CVylScalar bus;
    CVylYamlDynamicList<WhitelistEntry> whitelist;
    DeviceSpec() {
        registerKey("bus", &bus);
        registerKey("whitelist", &whitelist);
    }
};

struct Network : Cloning<Network> {
    CVylScalar gate{EVSF_DEFAULT, "wanUp"};
    CVylScalarInteger toSvr, scanAvi;
    CVylScalar ip;
    Network() {
        registerKey("gate", &gate);
        registerKey("maxBufBytesToSvr", &toSvr);
        registerKey("maxBufBytesScanAvi", &scanAvi);
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
    EXPECT_FALSE(c->enabled.getValue());
    ASSERT_EQ(2u, c->gates()->size());
    EXPECT_EQ("osv.wan.active ~= nil", c->gates()->getVal("wanUp")->retval.getString());
    EXPECT_EQ(32768, c->network.scanAvi.getValue());
    EXPECT_TRUE(c->network.ip.isSet());
    EXPECT_EQ("", c->network.ip.getString());
    ASSERT_EQ(2u, c->serial.device.getLength());
    const DeviceSpec* usb = c->serial.device.getElement(0);
    ASSERT_EQ(2u, usb->whitelist.getLength());
    EXPECT_EQ(0x067b, usb->whitelist.getElement(0)->idVendor.getValue());
    EXPECT_EQ("0x067b", usb->whitelist.getElement(0)->idVendor.getString());
    EXPECT_EQ("tty", c->serial.device.getElement(1)->whitelist.getElement(0)->builtin.getString());
    EXPECT_EQ(nullptr, c->serial.device.getElement(2));

    const std::string first = emitted(*c);
    auto again = parsed(first);
    EXPECT_TRUE(*again == *c) << first;
    EXPECT_EQ(first, emitted(*again));
    // Registration order is kept, and hex stays hex.
    EXPECT_LT(first.find("enabled"), first.find("serialSettings"));
    EXPECT_NE(std::string::npos, first.find("idVendor: 0x067b"));
    EXPECT_NE(std::string::npos, first.find("overrideServerIPAddr: ''"));
}

TEST(AYamlConfigTree, CopiesDeeply) {
    auto c = parsed(kBridgeDocument);
    std::unique_ptr<CVylYamlMixin> copy(c->clone());
    auto* cc = dynamic_cast<Config*>(copy.get());
    ASSERT_NE(nullptr, cc);
    cc->serial.device.getElement(0)->whitelist.getElement(1)->idVendor.setValue(1);
    EXPECT_EQ(0x0557, c->serial.device.getElement(0)->whitelist.getElement(1)->idVendor.getValue());
    EXPECT_TRUE(*cc != *c);

    *cc = *c;
    EXPECT_TRUE(*cc == *c);
    cc->gates()->getVal("wanUp")->retval.setString("true");
    EXPECT_EQ("osv.wan.active ~= nil", c->gates()->getVal("wanUp")->retval.getString());

    // Through the node interface; a node of another kind leaves the target cleared.
    Config target;
    CVylYamlMixin& base = target;
    base = static_cast<const CVylYamlMixin&>(*c);
    EXPECT_TRUE(target == *c);
    CVylScalar text;
    text.setString("x");
    base = text;
    EXPECT_FALSE(target.network.scanAvi.isSet());
    EXPECT_EQ(0u, target.gates()->size());
}

TEST(AYamlConfigTree, SkipsUnknownKeysAndTakesNullsAndMissingKeysAsUnset) {
    auto c = parsed("future: {deep: [1, 2, {x: [y]}]}\n"
                    "enabled:\n"
                    "networkSettings:\n"
                    "  maxBufBytesToSvr: 100\n"
                    "  gate: ~\n"
                    "  extra: |\n"
                    "    text\n"
                    "serialSettings:\n"
                    "  device:\n");
    EXPECT_TRUE(c->valid());
    EXPECT_EQ(100, c->network.toSvr.getValue());
    EXPECT_FALSE(c->enabled.isSet());
    EXPECT_EQ("wanUp", c->network.gate.getString()); // construction default
    EXPECT_FALSE(c->network.gate.isSet());
    EXPECT_EQ(10, c->serial.retryTimeout.getValue());
    EXPECT_FALSE(c->serial.device.isPopulated());
    // Missing keys are not written back either.
    const std::string out = emitted(*c);
    EXPECT_EQ(std::string::npos, out.find("retryTimeout")) << out;
    EXPECT_EQ(std::string::npos, out.find("future")) << out;

    // A reused node forgets the previous document.
    ASSERT_EQ(0, c->_yamlParseBuf(kBridgeDocument));
    ASSERT_EQ(0, c->_yamlParseBuf("enabled: yes\n"));
    EXPECT_EQ(0u, c->gates()->size());
    EXPECT_EQ(0u, c->serial.device.getLength());
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
    const auto parse = [](Holder& h, const char* text) {
        SCOPED_TRACE(text);
        std::string err;
        ASSERT_EQ(0, h._yamlParseBuf(std::string("v: ") + text + "\n", &err)) << err;
    };
    for (const auto& [text, value] : read) {
        Holder h;
        parse(h, text);
        EXPECT_TRUE(h.valid()) << text;
        EXPECT_EQ(value, static_cast<double>(h.v.getValue())) << text;
    }
    for (const char* text : refused) {
        Holder h;
        parse(h, text);
        EXPECT_FALSE(h.valid()) << text;
    }
}

TEST(AYamlScalar, ReadsBooleansIntegersAndFloats) {
    checkScalars<CVylScalarBool>({{"No", 0}, {"TRUE", 1}, {"on", 1}, {"OFF", 0}, {"'yes'", 1}},
                                 {"1", "y", "yess", "''"});
    // Leading zeros are decimal.
    checkScalars<CVylScalarInteger>(
        {{"-5", -5},
         {"0X2A", 42},
         {"-0x10", -16},
         {"010", 10},
         {"9223372036854775807", 9223372036854775807.0},
         {"-9223372036854775808", -9223372036854775808.0}},
        {"9223372036854775808", "0x10000000000000000", "0x", "0x-1", "1.5", "10s", "''"});
    checkScalars<CVylScalarFloat>({{"-0.25", -0.25}, {"4", 4}, {"1e3", 1000}},
                                  {"nan", "inf", "1e999", "0x10", "1,5"});
}

TEST(AYamlScalar, KeepsTextThroughEmission) {
    std::vector<std::string> texts = {
        "",          "null", "yes",           "  lead",          "trail ",
        "a: b",      "# no", "multi\nline\n", "no end\nnewline", "  indented\n  lua()\n",
        "keep\n\n\n"};
    texts.emplace_back("nul\0in", 6);
    for (const auto& t : texts) {
        CVylYamlDynamicMapSK<CVylScalar> m;
        m.add("k")->setString(t);
        const std::string out = emitted(m);
        CVylYamlDynamicMapSK<CVylScalar> back;
        ASSERT_EQ(0, back._yamlParseBuf(out)) << out;
        ASSERT_TRUE(back.hasKey("k")) << out;
        EXPECT_EQ(t, back.getVal("k")->getString()) << out;
    }
}

TEST(AYamlScalar, ComparesByValue) {
    CVylScalarInteger a, b;
    a.setString("0x10");
    b.setString("16");
    EXPECT_TRUE(a == b);
    CVylScalar text;
    text.setString("16");
    EXPECT_FALSE(a == static_cast<const CVylYamlMixin&>(text)); // different scalar kinds
    // Unset scalars read their construction default.
    CVylScalarInteger withDefault(10), ten;
    ten.setValue(10);
    EXPECT_TRUE(withDefault == ten);
    // Assignment from a text scalar converts.
    a = static_cast<const CVylYamlMixin&>(text);
    EXPECT_EQ(16, a.getValue());
    text.setString("x");
    a = static_cast<const CVylYamlMixin&>(text);
    EXPECT_FALSE(a.valid());
}

TEST(AYamlDynamicMap, ClearAndAssignmentKeepStaticKeys) {
    const char* keys[] = {"a", nullptr, "b"};
    CVylYamlDynamicMapSK<CVylScalarInteger> m(3, keys);
    ASSERT_EQ(0, m._yamlParseBuf("a: 1\nc: 3\n"));
    EXPECT_EQ(3u, m.size());
    m.clear();
    EXPECT_EQ(2u, m.size());
    EXPECT_FALSE(m.getVal("a")->isSet());
    EXPECT_FALSE(m.hasKey("c"));

    CVylYamlDynamicMapSK<CVylScalarInteger> other;
    ASSERT_EQ(0, other._yamlParseBuf("{b: 2, d: 4}"));
    m = other;
    EXPECT_EQ(3u, m.size()); // static "a" stays, unset
    EXPECT_FALSE(m.getVal("a")->isSet());
    EXPECT_EQ(4, m.getVal("d")->getValue());
}

TEST(AYamlDynamicList, ComparesAsAMultiset) {
    CVylYamlDynamicScalarList x, y, z, empty;
    ASSERT_EQ(0, x._yamlParseBuf("[a, a, b]"));
    ASSERT_EQ(0, y._yamlParseBuf("[a, b, b]"));
    ASSERT_EQ(0, z._yamlParseBuf("[b, a, a]"));
    EXPECT_TRUE(x != y);
    EXPECT_TRUE(y != x);
    EXPECT_TRUE(x == z);
    EXPECT_FALSE(empty.valid()); // never populated
    ASSERT_EQ(0, empty._yamlParseBuf("[]"));
    EXPECT_TRUE(empty.valid());
}

TEST(AYamlConfigTree, HandlesMalformedDocuments) {
    enum EOutcome { OK, INVALID, FAILS };
    const std::vector<std::tuple<const char*, std::string, EOutcome>> cases = {
        {"empty input", "", FAILS},
        {"two documents", "enabled: yes\n---\nenabled: no\n", FAILS},
        {"unclosed flow", "enabled: [yes\n", FAILS},
        {"tab indentation", "networkSettings:\n\tgate: a\n", FAILS},
        {"duplicate key", "enabled: yes\nenabled: no\n", FAILS},
        {"duplicate unknown key", "x: 1\nx: 2\n", FAILS},
        {"scalar for a map", "networkSettings: 5\n", FAILS},
        {"scalar list element for a map", "serialSettings:\n  device: [usb]\n", FAILS},
        {"alias", "a: &x yes\nenabled: *x\n", FAILS},
        {"invalid utf-8", "enabled: \xff\xfe\n", FAILS},
        {"nul byte", std::string("enabled: yes\n\0", 14), FAILS},
        {"deep unknown list", std::string(100000, '[') + std::string(100000, ']'), FAILS},
        {"text for a bool", "enabled: maybe\n", INVALID},
        {"gate without retval", "gatesTriggers:\n  g:\n    body: x\n", INVALID},
        {"tag is ignored", "enabled: !!bool yes\n", OK},
        {"byte order mark",
         "\xef\xbb\xbf"
         "enabled: no\n",
         OK},
    };
    for (const auto& [desc, text, outcome] : cases) {
        SCOPED_TRACE(desc);
        Config c;
        std::string err;
        const int rc = c._yamlParseBuf(text, &err);
        EXPECT_EQ(outcome == FAILS, rc != 0) << err;
        EXPECT_EQ(outcome == FAILS, !err.empty()) << err;
        if (outcome != FAILS) {
            EXPECT_EQ(outcome == OK, c.valid());
        }
    }

    // A node of the wrong kind is invalid, and the error says where.
    Config c;
    std::string err;
    ASSERT_NE(0, c._yamlParseBuf("enabled: no\nnetworkSettings:\n  gate: [x]\n", &err));
    EXPECT_FALSE(c.network.gate.valid());
    EXPECT_NE(std::string::npos, err.find("line 3")) << err;
    EXPECT_NE(std::string::npos, err.find("expected a scalar")) << err;
}

// A node type that nests without end, as a hostile document would like.
struct Tree : Cloning<Tree> {
    Tree() { registerOwnedKey("kids", new CVylYamlDynamicList<Tree>()); }
};

TEST(AYamlConfigTree, CapsNesting) {
    const auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i) {
            text = "{kids: [" + text + "]}";
        }
        return text;
    };
    Tree t;
    std::string err;
    // Each level is a mapping and a sequence.
    EXPECT_EQ(0, t._yamlParseBuf(nested(VYL_YAML_MAX_DEPTH / 2), &err)) << err;
    EXPECT_NE(0, t._yamlParseBuf(nested(VYL_YAML_MAX_DEPTH / 2 + 1), &err));
    EXPECT_NE(std::string::npos, err.find("nesting too deep")) << err;
}

TEST(AYamlConfigTree, ReadsFilesAndRefusesWhatIsNotOne) {
    testenv::TempRoot root;
    root.write("etc/vyl/tessarc.yaml", kBridgeDocument);
    Config c;
    std::string err;
    ASSERT_EQ(0, c._yamlParseFile((root / "etc/vyl/tessarc.yaml").c_str(), &err)) << err;
    EXPECT_TRUE(*parsed(kBridgeDocument) == c);

    EXPECT_NE(0, c._yamlParseFile((root / "missing.yaml").c_str(), &err));
    EXPECT_NE(std::string::npos, err.find("No such file")) << err;
    EXPECT_EQ(0u, c.gates()->size()); // a failed read leaves the node cleared
    EXPECT_NE(0, c._yamlParseFile(nullptr, &err));
    EXPECT_NE(0, c._yamlParseFile(root.path().c_str(), &err)); // a folder

    // Oversized files are refused before parsing (sparse, so cheap to make).
    std::string big = root / "big.yaml";
    { std::ofstream(big) << "enabled: yes\n"; }
    ASSERT_EQ(0, truncate(big.c_str(), VYL_YAML_MAX_FILE_BYTES + 1));
    EXPECT_NE(0, c._yamlParseFile(big.c_str(), &err));
    EXPECT_NE(std::string::npos, err.find("too large")) << err;
}
