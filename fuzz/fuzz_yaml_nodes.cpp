// Arbitrary text into a small configuration tree: a known sparse map with scalars of every kind,
// a dynamic map of known maps, a list of maps holding a list, and a self-nesting node. Whatever the
// parse gives, the tree is copied, compared, written and read back.
#include "vyl_yaml.h"
#include "vyl_yaml_dynamic.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The maps cannot be copy-constructed: a clone is made and assigned.
template <class T> struct Cloned : CVylKnownSparseMap {
    CVylYamlMixin* clone() const override {
        T* c = new T;
        *c = static_cast<const T&>(*this);
        return c;
    }
};

struct Entry : Cloned<Entry> {
    CVylScalar text;
    CVylScalarFloat poll;
    CVylYamlDynamicScalarList names;
    Entry() {
        registerKey("text", &text);
        registerKey("poll", &poll);
        registerKey("names", &names);
    }
};

// Nests as deep as the document asks, up to the parser's cap.
struct Tree : Cloned<Tree> {
    CVylScalarInteger leaf;
    Tree() {
        registerKey("leaf", &leaf);
        registerOwnedKey("kids", new CVylYamlDynamicList<Tree>());
        registerOwnedKey("named", new CVylYamlDynamicMapSK<Tree>());
    }
};

struct Root : Cloned<Root> {
    CVylScalarBool flag;
    CVylScalarInteger count{7};
    CVylYamlDynamicList<Entry> items;
    Tree tree;
    Root() {
        registerKey("flag", &flag);
        registerKey("count", &count);
        registerOwnedKey("map", new CVylYamlDynamicMapSK<Entry>("fixed"));
        registerKey("items", &items);
        registerKey("tree", &tree);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Root root;
    std::string error;
    const int rc = root._yamlParseBuf(text, &error);
    if (rc != 0 && error.empty())
        std::abort(); // a failure always says why
    (void)root.valid();
    (void)root.flag.getValue();
    (void)root.count.getValue();

    std::unique_ptr<CVylYamlMixin> copy(root.clone());
    if (!(*copy == root))
        std::abort();

    std::string out;
    if (root._yamlEmitBuf(out) != 0)
        return 0; // text that libyaml will not write (a parse left bytes it refuses)
    if (rc == 0) {
        Root back;
        if (back._yamlParseBuf(out, &error) != 0 || !(back == root) || back.valid() != root.valid())
            std::abort();
    }
    return 0;
}
