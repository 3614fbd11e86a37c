// Configuration nodes: parsing the bridge's document, emission round trips, copies, the scalar
// conventions and the faults a hostile or broken document can hold.
#include "vyl_yaml.h"
#include "vyl_yaml_dynamic.h"

#include "bridge_document.h"
#include "test_env.h"

#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

using testenv::kBridgeDocument;

// A tree shaped like the bridge's configuration, built only from the library's node types.
struct Gate : CVylKnownSparseMap {
    CVylScalar body, retval;
    CVylYamlDynamicScalarList dbus;
    CVylScalarFloat poll;
    Gate() {
        registerKey("body", &body);
        registerKey("retval", &retval);
        registerKey("dbus", &dbus);
        registerKey("poll", &poll);
    }
    CVylYamlMixin* clone() const override {
        auto* c = new Gate;
        *c = *this;
        return c;
    }
    bool valid() const override {
        return CVylKnownSparseMap::valid() && !retval.getStringRef().empty();
    }
};

struct WhitelistEntry : CVylKnownSparseMap {
    CVylScalarInteger idProduct, idVendor;
    CVylScalar builtin;
    WhitelistEntry() {
        registerKey("idProduct", &idProduct);
        registerKey("idVendor", &idVendor);
        registerKey("builtin", &builtin);
    }
    CVylYamlMixin* clone() const override {
        auto* c = new WhitelistEntry;
        *c = *this;
        return c;
    }
};

struct Selector : CVylKnownSparseMap {
    CVylYamlDynamicList<CVylScalarInteger> dpi;
    Selector() { registerKey("DPI", &dpi); }
    CVylYamlMixin* clone() const override {
        auto* c = new Selector;
        *c = *this;
        return c;
    }
};

struct DeviceSpec : CVylKnownSparseMap {
    CVylScalar bus, devlevel;
    CVylYamlDynamicList<WhitelistEntry> whitelist;
    Selector selector;
    DeviceSpec() {
        registerKey("bus", &bus);
        registerKey("devlevel", &devlevel);
        registerKey("whitelist", &whitelist);
        registerKey("selector", &selector);
    }
    CVylYamlMixin* clone() const override {
        auto* c = new DeviceSpec;
        *c = *this;
        return c;
    }
};

struct LineSettings : CVylKnownSparseMap {
    CVylScalarInteger speed{9600};
    LineSettings() { registerKey("speed", &speed); }
    CVylYamlMixin* clone() const override {
        auto* c = new LineSettings;
        *c = *this;
        return c;
    }
};

struct Network : CVylKnownSparseMap {
    CVylScalar gate{EVSF_DEFAULT, "wanUp"};
    CVylScalarInteger toSvr, scanAvi;
    CVylScalar ip, port;
    Network() {
        registerKey("gate", &gate);
        registerKey("maxBufBytesToSvr", &toSvr);
        registerKey("maxBufBytesScanAvi", &scanAvi);
        registerKey("overrideServerIPAddr", &ip);
        registerKey("overrideServerTCPPort", &port);
    }
    CVylYamlMixin* clone() const override {
        auto* c = new Network;
        *c = *this;
        return c;
    }
};

struct Serial : CVylKnownSparseMap {
    CVylYamlDynamicList<DeviceSpec> device;
    LineSettings lineSettings;
    CVylScalarInteger retryTimeout{10}, inactivityTimeout{60};
    Serial() {
        registerKey("device", &device);
        registerKey("lineSettings", &lineSettings);
        registerKey("retryTimeout", &retryTimeout);
        registerKey("inactivityTimeout", &inactivityTimeout);
    }
    CVylYamlMixin* clone() const override {
        auto* c = new Serial;
        *c = *this;
        return c;
    }
};

struct Config : CVylKnownSparseMap {
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
    CVylYamlMixin* clone() const override {
        auto* c = new Config;
        *c = *this;
        return c;
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

TEST(AYamlConfigTree, ReadsTheBridgeDocument) {
    auto c = parsed(kBridgeDocument);
    ASSERT_TRUE(c->valid());
    EXPECT_FALSE(c->enabled.getValue());
    ASSERT_EQ(2u, c->gates()->size());
    EXPECT_EQ("osv.wan.active ~= nil", c->gates()->getVal("wanUp")->retval.getString());
    EXPECT_EQ("osv.vpn.connected()", c->gates()->getVal("vpnUp")->retval.getString());
    EXPECT_EQ("wanUp", c->network.gate.getString());
    EXPECT_EQ(2097152, c->network.toSvr.getValue());
    EXPECT_EQ(32768, c->network.scanAvi.getValue());
    EXPECT_TRUE(c->network.ip.isSet());
    EXPECT_EQ("", c->network.ip.getString());
    EXPECT_FALSE(c->network.port != "");
    ASSERT_EQ(2u, c->serial.device.getLength());
    const DeviceSpec* usb = c->serial.device.getElement(0);
    EXPECT_EQ("usb", usb->bus.getString());
    ASSERT_EQ(2u, usb->whitelist.getLength());
    EXPECT_EQ(0x2303, usb->whitelist.getElement(0)->idProduct.getValue());
    EXPECT_EQ(0x067b, usb->whitelist.getElement(0)->idVendor.getValue());
    EXPECT_EQ("0x067b", usb->whitelist.getElement(0)->idVendor.getString());
    EXPECT_EQ(0x0557, usb->whitelist.getElement(1)->idVendor.getValue());
    const DeviceSpec* legacy = c->serial.device.getElement(1);
    ASSERT_EQ(1u, legacy->selector.dpi.getLength());
    EXPECT_EQ(0x01000000, legacy->selector.dpi.getElement(0)->getValue());
    EXPECT_TRUE(legacy->selector.dpi.getElement(0)->operator==(0x01000000u));
    EXPECT_EQ("tty", legacy->whitelist.getElement(0)->builtin.getString());
    EXPECT_FALSE(legacy->whitelist.getElement(0)->idProduct.isSet());
    EXPECT_EQ(57600, c->serial.lineSettings.speed.getValue());
    EXPECT_EQ(10, c->serial.retryTimeout.getValue());
    EXPECT_EQ(60, c->serial.inactivityTimeout.getValue());
    EXPECT_EQ(nullptr, c->serial.device.getElement(2));
}

TEST(AYamlConfigTree, ReadsBackWhatItWrites) {
    auto c = parsed(kBridgeDocument);
    std::string first = emitted(*c);
    auto again = parsed(first);
    EXPECT_TRUE(*again == *c) << first;
    EXPECT_EQ(first, emitted(*again));
    // Registration order is kept, and hex stays hex.
    EXPECT_LT(first.find("enabled"), first.find("serialSettings"));
    EXPECT_NE(std::string::npos, first.find("idVendor: 0x067b"));
    EXPECT_NE(std::string::npos, first.find("overrideServerIPAddr: ''"));
}

TEST(AYamlConfigTree, CloneIsADeepCopy) {
    auto c = parsed(kBridgeDocument);
    std::unique_ptr<CVylYamlMixin> copy(c->clone());
    auto* cc = dynamic_cast<Config*>(copy.get());
    ASSERT_NE(nullptr, cc);
    EXPECT_TRUE(*cc == *c);

    cc->serial.device.getElement(0)->whitelist.getElement(1)->idVendor.setValue(1);
    EXPECT_EQ(0x0557, c->serial.device.getElement(0)->whitelist.getElement(1)->idVendor.getValue());
    EXPECT_TRUE(*cc != *c);

    *cc = *c;
    EXPECT_TRUE(*cc == *c);
    cc->gates()->getVal("wanUp")->retval.setString("true");
    EXPECT_EQ("osv.wan.active ~= nil", c->gates()->getVal("wanUp")->retval.getString());
    EXPECT_TRUE(*cc != *c);

    *cc = *c;
    cc->gates()->add("extra")->retval.setString("false");
    EXPECT_EQ(2u, c->gates()->size());
    EXPECT_TRUE(*cc != *c);
}

TEST(AYamlConfigTree, AssignsThroughTheNodeInterface) {
    auto c = parsed(kBridgeDocument);
    Config target;
    CVylYamlMixin& base = target;
    base = static_cast<const CVylYamlMixin&>(*c);
    EXPECT_TRUE(target == *c);
    EXPECT_EQ(32768, target.network.scanAvi.getValue());

    // A node of another kind leaves the target cleared.
    CVylScalar text;
    text.setString("x");
    base = text;
    EXPECT_FALSE(target.network.scanAvi.isSet());
    EXPECT_EQ(0u, target.gates()->size());
}

TEST(AYamlConfigTree, SkipsUnknownKeysAndKeepsDefaultsOfMissingOnes) {
    auto c = parsed("future: {deep: [1, 2, {x: [y]}]}\n"
                    "networkSettings:\n"
                    "  maxBufBytesToSvr: 100\n"
                    "  extra: |\n"
                    "    text\n"
                    "serialSettings:\n"
                    "  lineSettings: {parity: even}\n");
    EXPECT_TRUE(c->valid());
    EXPECT_EQ(100, c->network.toSvr.getValue());
    EXPECT_EQ("wanUp", c->network.gate.getString()); // construction default
    EXPECT_FALSE(c->network.gate.isSet());
    EXPECT_EQ(10, c->serial.retryTimeout.getValue());
    EXPECT_EQ(9600, c->serial.lineSettings.speed.getValue());
    EXPECT_FALSE(c->serial.device.isSet());
    // Missing keys are not written back either.
    std::string out = emitted(*c);
    EXPECT_EQ(std::string::npos, out.find("retryTimeout")) << out;
    EXPECT_EQ(std::string::npos, out.find("future")) << out;
}

TEST(AYamlConfigTree, NullValuesCountAsMissing) {
    auto c = parsed("enabled:\nnetworkSettings:\n  gate: ~\n  maxBufBytesToSvr: null\n"
                    "serialSettings:\n  device:\n");
    EXPECT_TRUE(c->valid());
    EXPECT_FALSE(c->enabled.isSet());
    EXPECT_EQ("wanUp", c->network.gate.getString());
    EXPECT_FALSE(c->network.toSvr.isSet());
    EXPECT_FALSE(c->serial.device.isPopulated());
}

TEST(AYamlConfigTree, ReusedNodeForgetsThePreviousDocument) {
    Config c;
    ASSERT_EQ(0, c._yamlParseBuf(kBridgeDocument));
    ASSERT_EQ(0, c._yamlParseBuf("enabled: yes\n"));
    EXPECT_TRUE(c.enabled.getValue());
    EXPECT_EQ(0u, c.gates()->size());
    EXPECT_EQ(0u, c.serial.device.getLength());
}

struct SScalarCase {
    const char* desc;
    const char* text; // YAML value as written after "v: "
    bool valid;
    double value; // expected value when valid
};

template <class S> void checkScalarCases(const std::vector<SScalarCase>& cases) {
    struct Holder : CVylKnownSparseMap {
        S v;
        Holder() { registerKey("v", &v); }
        CVylYamlMixin* clone() const override { return nullptr; }
    };
    for (const auto& tc : cases) {
        Holder h;
        std::string err;
        ASSERT_EQ(0, h._yamlParseBuf(std::string("v: ") + tc.text + "\n", &err))
            << tc.desc << ": " << err;
        EXPECT_EQ(tc.valid, h.valid()) << tc.desc;
        EXPECT_EQ(tc.valid, h.v.valid()) << tc.desc;
        if (tc.valid) {
            EXPECT_EQ(tc.value, static_cast<double>(h.v.getValue())) << tc.desc;
        }
    }
}

TEST(AYamlScalar, ReadsBooleans) {
    checkScalarCases<CVylScalarBool>({
        {"yes", "yes", true, 1},
        {"No capitalised", "No", true, 0},
        {"TRUE", "TRUE", true, 1},
        {"false", "false", true, 0},
        {"on", "on", true, 1},
        {"off", "OFF", true, 0},
        {"quoted yes", "'yes'", true, 1},
        {"number", "1", false, 0},
        {"y is not enough", "y", false, 0},
        {"prefix", "yess", false, 0},
        {"quoted empty", "''", false, 0},
    });
}

TEST(AYamlScalar, ReadsIntegers) {
    checkScalarCases<CVylScalarInteger>({
        {"decimal", "57600", true, 57600},
        {"negative", "-5", true, -5},
        {"plus", "+7", true, 7},
        {"hex", "0x01000000", true, 0x01000000},
        {"hex capitals", "0X2A", true, 42},
        {"negative hex", "-0x10", true, -16},
        {"leading zeros are decimal", "010", true, 10},
        {"largest", "9223372036854775807", true, 9223372036854775807.0},
        {"smallest", "-9223372036854775808", true, -9223372036854775808.0},
        {"overflow", "9223372036854775808", false, 0},
        {"hex overflow", "0x10000000000000000", false, 0},
        {"bare 0x", "0x", false, 0},
        {"double sign", "--1", false, 0},
        {"sign inside hex", "0x-1", false, 0},
        {"fraction", "1.5", false, 0},
        {"trailing text", "10s", false, 0},
        {"word", "ten", false, 0},
        {"quoted empty", "''", false, 0},
    });
}

TEST(AYamlScalar, ReadsFloats) {
    checkScalarCases<CVylScalarFloat>({
        {"fraction", "2.5", true, 2.5},
        {"integer", "4", true, 4},
        {"leading point", ".5", true, 0.5},
        {"exponent", "1e3", true, 1000},
        {"negative", "-0.25", true, -0.25},
        {"plus", "+1.5", true, 1.5},
        {"nan", "nan", false, 0},
        {"infinity", "inf", false, 0},
        {"huge", "1e999", false, 0},
        {"plus minus", "+-1", false, 0},
        {"hex", "0x10", false, 0},
        {"comma", "1,5", false, 0},
    });
}

TEST(AYamlScalar, KeepsTextThroughEmission) {
    const std::vector<std::string> texts = {"",
                                            "null",
                                            "~",
                                            "yes",
                                            "0x10",
                                            "  leading blanks",
                                            "trailing ",
                                            "a: b",
                                            "# no",
                                            "- dash",
                                            "\"q\"",
                                            "it's",
                                            "multi\nline\n",
                                            "no end\nnewline",
                                            "  indented\n  lua()\n",
                                            "keep\n\n\n",
                                            "tab\tin",
                                            "ünïcode",
                                            std::string("nul\0in", 6)};
    for (const auto& t : texts) {
        CVylYamlDynamicMapSK<CVylScalar> m;
        m.add("k")->setString(t);
        std::string out = emitted(m);
        CVylYamlDynamicMapSK<CVylScalar> back;
        std::string err;
        ASSERT_EQ(0, back._yamlParseBuf(out, &err)) << out << err;
        ASSERT_TRUE(back.hasKey("k")) << out;
        EXPECT_EQ(t, back.getVal("k")->getString()) << out;
        EXPECT_TRUE(back == m) << out;
    }
}

TEST(AYamlScalar, ReadsBlockScalarsOfGateText) {
    auto c = parsed("gatesTriggers:\n"
                    "  g:\n"
                    "    body: |\n"
                    "      local a = 1\n"
                    "      if a then b = 2 end\n"
                    "    retval: >\n"
                    "      a ==\n"
                    "      1\n"
                    "    dbus: [com.x.Y.Changed, com.x.Y.Other]\n"
                    "    poll: 2.5\n");
    const Gate* g = c->gates()->getVal("g");
    ASSERT_NE(nullptr, g);
    EXPECT_EQ("local a = 1\nif a then b = 2 end\n", g->body.getString());
    EXPECT_EQ("a == 1\n", g->retval.getString());
    EXPECT_EQ(2u, g->dbus.getLength());
    EXPECT_DOUBLE_EQ(2.5, g->poll.getValue());
    auto again = parsed(emitted(*c));
    EXPECT_TRUE(*again == *c);
}

TEST(AYamlScalar, ComparesByValue) {
    CVylScalarInteger a, b;
    a.setString("0x10");
    b.setString("16");
    EXPECT_TRUE(a == b);
    b.setValue(17);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a == 16u);
    EXPECT_FALSE(a == 17u);

    CVylScalar text;
    text.setString("16");
    EXPECT_FALSE(a == static_cast<const CVylYamlMixin&>(text)); // different scalar kinds
    EXPECT_TRUE(text == 16u);
    EXPECT_FALSE(text != "16");
    EXPECT_TRUE(text != nullptr);

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

TEST(AYamlDynamicMap, ClearKeepsStaticKeys) {
    const char* keys[] = {"a", nullptr, "b"};
    CVylYamlDynamicMapSK<CVylScalarInteger> m(3, keys);
    EXPECT_EQ(2u, m.size());
    ASSERT_EQ(0, m._yamlParseBuf("a: 1\nc: 3\n"));
    EXPECT_EQ(3u, m.size());
    EXPECT_EQ(1, m.getVal("a")->getValue());
    m.clear();
    EXPECT_EQ(2u, m.size());
    EXPECT_TRUE(m.hasKey("a"));
    EXPECT_FALSE(m.getVal("a")->isSet());
    EXPECT_FALSE(m.hasKey("c"));

    CVylYamlDynamicMapSK<CVylScalarInteger> other;
    ASSERT_EQ(0, other._yamlParseBuf("{b: 2, d: 4}"));
    m = other;
    EXPECT_EQ(3u, m.size()); // static "a" stays, unset
    EXPECT_FALSE(m.getVal("a")->isSet());
    EXPECT_EQ(2, m.getVal("b")->getValue());
    EXPECT_EQ(4, m.getVal("d")->getValue());
    EXPECT_TRUE(m != other);
    EXPECT_TRUE(m.valid());
}

TEST(AYamlDynamicList, ComparesAsAMultiset) {
    CVylYamlDynamicScalarList x, y, z, empty;
    ASSERT_EQ(0, x._yamlParseBuf("[a, a, b]"));
    ASSERT_EQ(0, y._yamlParseBuf("[a, b, b]"));
    ASSERT_EQ(0, z._yamlParseBuf("[b, a, a]"));
    EXPECT_TRUE(x != y);
    EXPECT_TRUE(y != x);
    EXPECT_TRUE(x == z);
    EXPECT_TRUE(x.valid());
    EXPECT_FALSE(empty.valid()); // never populated
    ASSERT_EQ(0, empty._yamlParseBuf("[]"));
    EXPECT_TRUE(empty.valid());
}

struct SDocumentCase {
    const char* desc;
    std::string text;
    enum { OK, INVALID, FAILS } outcome;
};

TEST(AYamlConfigTree, HandlesMalformedDocuments) {
    const std::string deepList = std::string(100000, '[') + std::string(100000, ']');
    std::string deepMap;
    for (int i = 0; i < 200; ++i) {
        deepMap += std::string(2 * i, ' ') + "k:\n";
    }
    const std::vector<SDocumentCase> cases = {
        {"empty input", "", SDocumentCase::FAILS},
        {"only a comment", "# nothing\n", SDocumentCase::FAILS},
        {"empty document", "---\n...\n", SDocumentCase::FAILS},
        {"two documents", "enabled: yes\n---\nenabled: no\n", SDocumentCase::FAILS},
        {"root is a list", "- a\n", SDocumentCase::FAILS},
        {"root is text", "hello\n", SDocumentCase::FAILS},
        {"unclosed flow", "enabled: [yes\n", SDocumentCase::FAILS},
        {"bad indentation", "networkSettings:\n  gate: a\n gate2: b\n", SDocumentCase::FAILS},
        {"tab indentation", "networkSettings:\n\tgate: a\n", SDocumentCase::FAILS},
        {"unterminated quote", "enabled: 'yes\n", SDocumentCase::FAILS},
        {"duplicate key", "enabled: yes\nenabled: no\n", SDocumentCase::FAILS},
        {"duplicate unknown key", "x: 1\nx: 2\n", SDocumentCase::FAILS},
        {"list for a scalar", "enabled: [yes]\n", SDocumentCase::FAILS},
        {"map for a scalar", "networkSettings:\n  gate: {a: b}\n", SDocumentCase::FAILS},
        {"scalar for a map", "networkSettings: 5\n", SDocumentCase::FAILS},
        {"list for a map", "networkSettings: [a]\n", SDocumentCase::FAILS},
        {"scalar for a list", "serialSettings:\n  device: usb\n", SDocumentCase::FAILS},
        {"map for a list", "serialSettings:\n  device: {bus: usb}\n", SDocumentCase::FAILS},
        {"scalar list element for a map", "serialSettings:\n  device: [usb]\n",
         SDocumentCase::FAILS},
        {"complex key", "? [a]\n: b\n", SDocumentCase::FAILS},
        {"alias", "a: &x yes\nenabled: *x\n", SDocumentCase::FAILS},
        {"alias as key", "a: &x yes\n*x : 1\n", SDocumentCase::FAILS},
        {"invalid utf-8", "enabled: \xff\xfe\n", SDocumentCase::FAILS},
        {"control character", std::string("enabled: y\x01s\n"), SDocumentCase::FAILS},
        {"nul byte", std::string("enabled: yes\n\0", 14), SDocumentCase::FAILS},
        {"deep list", deepList, SDocumentCase::FAILS},
        {"deep unknown mapping", deepMap, SDocumentCase::FAILS},
        {"text for a bool", "enabled: maybe\n", SDocumentCase::INVALID},
        {"text for an integer", "serialSettings:\n  retryTimeout: soon\n", SDocumentCase::INVALID},
        {"gate without retval", "gatesTriggers:\n  g:\n    body: x\n", SDocumentCase::INVALID},
        {"anchor is ignored", "enabled: &a yes\n", SDocumentCase::OK},
        {"tag is ignored", "enabled: !!bool yes\n", SDocumentCase::OK},
        {"flow style", "{enabled: yes, networkSettings: {gate: vpnUp}}", SDocumentCase::OK},
        {"explicit end and comments", "# c\nenabled: no # c\n...\n", SDocumentCase::OK},
        {"byte order mark",
         "\xef\xbb\xbf"
         "enabled: no\n",
         SDocumentCase::OK},
    };
    for (const auto& tc : cases) {
        Config c;
        std::string err;
        int rc = c._yamlParseBuf(tc.text, &err);
        switch (tc.outcome) {
        case SDocumentCase::OK:
            EXPECT_EQ(0, rc) << tc.desc << ": " << err;
            EXPECT_TRUE(c.valid()) << tc.desc;
            break;
        case SDocumentCase::INVALID:
            EXPECT_EQ(0, rc) << tc.desc << ": " << err;
            EXPECT_FALSE(c.valid()) << tc.desc;
            break;
        case SDocumentCase::FAILS:
            EXPECT_NE(0, rc) << tc.desc;
            EXPECT_FALSE(err.empty()) << tc.desc;
            break;
        }
        // Whatever happened, the tree can still be copied, compared and written.
        std::unique_ptr<CVylYamlMixin> copy(c.clone());
        EXPECT_TRUE(*copy == c) << tc.desc;
        std::string out;
        c._yamlEmitBuf(out);
    }
}

// A node type that nests without end, as a hostile document would like.
struct Tree : CVylKnownSparseMap {
    Tree() { registerOwnedKey("kids", new CVylYamlDynamicList<Tree>()); }
    CVylYamlMixin* clone() const override {
        auto* c = new Tree;
        *c = *this;
        return c;
    }
};

std::string nestedTree(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) {
        text += "{kids: [";
    }
    for (int i = 0; i < levels; ++i) {
        text += "]}";
    }
    return text;
}

TEST(AYamlConfigTree, CapsNesting) {
    Tree t;
    std::string err;
    // Each level is a mapping and a sequence.
    EXPECT_EQ(0, t._yamlParseBuf(nestedTree(VYL_YAML_MAX_DEPTH / 2), &err)) << err;
    EXPECT_TRUE(t.valid());
    std::string out;
    EXPECT_EQ(0, t._yamlEmitBuf(out));
    EXPECT_NE(0, t._yamlParseBuf(nestedTree(VYL_YAML_MAX_DEPTH / 2 + 1), &err));
    EXPECT_NE(std::string::npos, err.find("nesting too deep")) << err;
    EXPECT_NE(0, t._yamlParseBuf(nestedTree(100000), &err));
    EXPECT_NE(std::string::npos, err.find("nesting too deep")) << err;
}

TEST(AYamlConfigTree, WrongKindMakesTheNodeInvalid) {
    Config c;
    EXPECT_NE(0, c._yamlParseBuf("networkSettings:\n  gate: [a]\n"));
    EXPECT_FALSE(c.network.gate.valid());
    EXPECT_FALSE(c.valid());
    Config d;
    EXPECT_NE(0, d._yamlParseBuf("networkSettings: 5\n"));
    EXPECT_FALSE(d.network.valid());
}

TEST(AYamlConfigTree, ReportsWhereTheDocumentIsBroken) {
    Config c;
    std::string err;
    ASSERT_NE(0, c._yamlParseBuf("enabled: no\nnetworkSettings:\n  gate: [x]\n", &err));
    EXPECT_NE(std::string::npos, err.find("line 3")) << err;
    EXPECT_NE(std::string::npos, err.find("expected a scalar")) << err;
    ASSERT_NE(0, c._yamlParseBuf("enabled: no\n  bad: [\n", &err));
    EXPECT_NE(std::string::npos, err.find("line 2")) << err;
}

TEST(AYamlConfigTree, ReadsFiles) {
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
