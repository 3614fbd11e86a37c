// Configuration containers whose content comes from the document: a string-keyed map of T nodes
// (with optional static keys that always exist) and a list of T nodes. T is a CVylYamlMixin
// with a default constructor. One thread per tree, like every node.
#pragma once

#include "vyl_yaml.h"

#include <set>
#include <string>
#include <vector>

// Assignment from any node: one of the same container kind is copied (through its own copy
// assignment), any other kind leaves the container empty.
template <class Node> CVylYamlMixin& vylAssignNode(Node& self, const CVylYamlMixin& other) {
    if (auto* same = dynamic_cast<const Node*>(&other)) {
        self = *same;
    } else {
        self.clear();
    }
    return self;
}

template <class T> class CVylYamlDynamicMapSK : public CVylYamlMixin {
public:
    typedef std::map<std::string, T*> tMap;
    typedef typename tMap::const_iterator const_iterator;

    CVylYamlDynamicMapSK() = default;
    // Static keys; null entries are skipped.
    CVylYamlDynamicMapSK(size_t count, const char* const* keys) {
        for (size_t i = 0; keys && i < count; ++i) {
            if (keys[i]) {
                addStatic(keys[i]);
            }
        }
    }
    explicit CVylYamlDynamicMapSK(const std::set<std::string>& keys) {
        for (const auto& k : keys) {
            addStatic(k);
        }
    }
    explicit CVylYamlDynamicMapSK(const char* key) {
        if (key) {
            addStatic(key);
        }
    }
    CVylYamlDynamicMapSK(const CVylYamlDynamicMapSK& other) : CVylYamlMixin() {
        for (const auto& k : other.m_static) {
            addStatic(k);
        }
        assignFrom(other);
    }
    ~CVylYamlDynamicMapSK() override {
        for (auto& kv : m_map) {
            delete kv.second;
        }
    }

    CVylYamlDynamicMapSK& operator=(const CVylYamlDynamicMapSK& other) {
        if (this != &other) {
            assignFrom(other);
        }
        return *this;
    }
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override {
        return vylAssignNode(*this, other);
    }
    bool operator==(const CVylYamlMixin& other) const override {
        auto* o = dynamic_cast<const CVylYamlDynamicMapSK*>(&other);
        if (!o || o->m_map.size() != m_map.size()) {
            return false;
        }
        for (const auto& kv : o->m_map) {
            auto it = m_map.find(kv.first);
            if (it == m_map.end() || !(*it->second == *kv.second)) {
                return false;
            }
        }
        return true;
    }
    // Drops the dynamic keys; static keys stay, with their nodes cleared.
    void clear() override {
        for (auto it = m_map.begin(); it != m_map.end();) {
            if (m_static.count(it->first)) {
                it->second->clear();
                ++it;
            } else {
                delete it->second;
                it = m_map.erase(it);
            }
        }
        m_given = false;
        m_bad = false;
    }
    CVylYamlMixin* clone() const override { return new CVylYamlDynamicMapSK(*this); }
    int _yamlParse(yaml_parser_t* parser) override {
        clear();
        std::map<std::string, CVylYamlMixin*> view(m_map.begin(), m_map.end());
        bool wasNull = false;
        int rc = _yamlParseMap(parser, view, true, &wasNull);
        m_given = rc == 0 && !wasNull;
        m_bad = rc != 0;
        return rc;
    }
    CVylYamlMixin* _allocateStringKeyMapValue(const std::string& key) override {
        auto it = m_map.find(key);
        if (it != m_map.end()) {
            return it->second;
        }
        T* node = new T();
        m_map[key] = node;
        return node;
    }
    int _yamlEmit(yaml_emitter_t* emitter) const override {
        std::map<std::string, const CVylYamlMixin*> view(m_map.begin(), m_map.end());
        return _yamlEmitMap(emitter, view);
    }
    // Every node valid; an empty map is valid.
    bool valid() const override {
        if (m_bad) {
            return false;
        }
        for (const auto& kv : m_map) {
            if (!kv.second->valid()) {
                return false;
            }
        }
        return true;
    }
    bool isSet() const override { return m_given || m_bad || m_map.size() > m_static.size(); }

    bool hasKey(const std::string& key) const { return m_map.count(key) != 0; }
    size_t size() const { return m_map.size(); }
    std::vector<std::string> getKeys() const {
        std::vector<std::string> keys;
        keys.reserve(m_map.size());
        for (const auto& kv : m_map) {
            keys.push_back(kv.first);
        }
        return keys;
    }
    // nullptr when the key is absent.
    T* getVal(const std::string& key) const {
        auto it = m_map.find(key);
        return it == m_map.end() ? nullptr : it->second;
    }
    // The node under `key`, created when absent.
    T* add(const std::string& key) {
        m_given = true;
        return static_cast<T*>(_allocateStringKeyMapValue(key));
    }
    bool isStaticKey(const std::string& key) const { return m_static.count(key) != 0; }
    const_iterator begin() const { return m_map.begin(); }
    const_iterator end() const { return m_map.end(); }

private:
    void addStatic(const std::string& key) {
        if (m_static.insert(key).second && !m_map.count(key)) {
            m_map[key] = new T();
        }
    }
    void assignFrom(const CVylYamlDynamicMapSK& other) {
        clear();
        for (const auto& kv : other.m_map) {
            auto it = m_map.find(kv.first);
            if (it != m_map.end()) {
                *static_cast<CVylYamlMixin*>(it->second) = *kv.second;
                continue;
            }
            CVylYamlMixin* copy = kv.second->clone();
            T* node = dynamic_cast<T*>(copy);
            if (!node) {
                delete copy;
                node = new T();
                *static_cast<CVylYamlMixin*>(node) = *kv.second;
            }
            m_map[kv.first] = node;
        }
        m_given = other.m_given;
        m_bad = other.m_bad;
    }

    tMap m_map;
    std::set<std::string> m_static;
    bool m_given = false;
    bool m_bad = false;
};

template <class T> class CVylYamlDynamicList : public CVylYamlMixin {
public:
    CVylYamlDynamicList() = default;
    CVylYamlDynamicList(const CVylYamlDynamicList& other) : CVylYamlMixin() { assignFrom(other); }
    ~CVylYamlDynamicList() override { clear(); }

    CVylYamlDynamicList& operator=(const CVylYamlDynamicList& other) {
        if (this != &other) {
            assignFrom(other);
        }
        return *this;
    }
    CVylYamlMixin& operator=(const CVylYamlMixin& other) override {
        return vylAssignNode(*this, other);
    }
    // Same length and the elements match one to one, in any order.
    bool operator==(const CVylYamlMixin& other) const override {
        auto* o = dynamic_cast<const CVylYamlDynamicList*>(&other);
        if (!o || o->m_list.size() != m_list.size()) {
            return false;
        }
        std::vector<bool> used(m_list.size(), false);
        for (const T* mine : m_list) {
            bool found = false;
            for (size_t j = 0; j < o->m_list.size() && !found; ++j) {
                if (!used[j] && *mine == *o->m_list[j]) {
                    used[j] = true;
                    found = true;
                }
            }
            if (!found) {
                return false;
            }
        }
        return true;
    }
    void clear() override {
        for (T* e : m_list) {
            delete e;
        }
        m_list.clear();
        m_populated = false;
    }
    CVylYamlMixin* clone() const override { return new CVylYamlDynamicList(*this); }
    // A null value leaves the list unpopulated (missing).
    int _yamlParse(yaml_parser_t* parser) override {
        clear();
        std::vector<CVylYamlMixin*> view;
        bool wasNull = false;
        int rc = _yamlParseList(parser, view, &wasNull);
        m_populated = rc == 0 && !wasNull;
        return rc;
    }
    CVylYamlMixin* _allocateListElement() override {
        T* node = new T();
        m_list.push_back(node);
        m_populated = true;
        return node;
    }
    void _trimLastListElement() override {
        if (!m_list.empty()) {
            delete m_list.back();
            m_list.pop_back();
        }
    }
    // An unpopulated list is written as null so that it reads back unpopulated.
    int _yamlEmit(yaml_emitter_t* emitter) const override {
        if (!m_populated) {
            return _yamlEmitNull(emitter);
        }
        std::vector<CVylYamlMixin*> view(m_list.begin(), m_list.end());
        return _yamlEmitList(emitter, view);
    }
    bool valid() const override {
        if (!m_populated) {
            return false;
        }
        for (const T* e : m_list) {
            if (!e->valid()) {
                return false;
            }
        }
        return true;
    }
    bool isSet() const override { return m_populated; }

    size_t getLength() const { return m_list.size(); }
    // nullptr past the end.
    T* getElement(size_t index) const { return index < m_list.size() ? m_list[index] : nullptr; }
    // Appends a new element (and marks the list populated).
    T* append() { return static_cast<T*>(_allocateListElement()); }
    bool isPopulated() const { return m_populated; }

private:
    void assignFrom(const CVylYamlDynamicList& other) {
        clear();
        for (const T* e : other.m_list) {
            CVylYamlMixin* copy = e->clone();
            T* node = dynamic_cast<T*>(copy);
            if (!node) {
                delete copy;
                node = new T();
                *static_cast<CVylYamlMixin*>(node) = *e;
            }
            m_list.push_back(node);
        }
        m_populated = other.m_populated;
    }

    std::vector<T*> m_list;
    bool m_populated = false;
};

typedef CVylYamlDynamicList<CVylScalar> CVylYamlDynamicScalarList;
