// Captures the framework's log lines while it lives, for tests that check what was logged.
// Header-only: test_common itself does not link the framework. Lines may arrive from any thread;
// the queries may be called from any thread too.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qcf_debug.h"
#include "test_env.h"

namespace testenv {

class LogCapture {
public:
    // `onLine` also sees every line as it is written (outside the capture's lock).
    explicit LogCapture(std::function<void(CVylLogLevel, const std::string&)> onLine = nullptr)
        : m_state(std::make_shared<State>()) {
        // The logger may call its copy of the observer after the destructor: the copy keeps the
        // state alive.
        std::shared_ptr<State> state = m_state;
        QCF::setLogObserver([state, onLine](CVylLogLevel level, const std::string& text) {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->lines.emplace_back(level, text);
            }
            if (onLine)
                onLine(level, text);
        });
    }
    ~LogCapture() { QCF::setLogObserver(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // A line reads exactly `text` (at any level, or at `level`).
    bool has(const std::string& text) const { return has(any, text); }
    bool has(CVylLogLevel level, const std::string& text) const {
        return !select(level, [&](const std::string& l) { return l == text; }).empty();
    }
    // Lines holding `part` (at any level, or at `level`).
    int count(const std::string& part) const { return count(any, part); }
    int count(CVylLogLevel level, const std::string& part = std::string()) const {
        return static_cast<int>(
            select(level, [&](const std::string& l) { return l.find(part) != l.npos; }).size());
    }
    std::vector<std::string> starting(const std::string& prefix) const {
        return starting(any, prefix);
    }
    std::vector<std::string> starting(CVylLogLevel level, const std::string& prefix) const {
        return select(level, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    // The lines at `level` or worse.
    std::vector<std::string> atLeast(CVylLogLevel level) const {
        return select(
            any, [](const std::string&) { return true; }, level);
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->lines.clear();
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<std::pair<CVylLogLevel, std::string>> lines;
    };
    static constexpr CVylLogLevel any = -1; // no real level is negative

    // The texts, in order, at `level` (any level: `any`), no lower than `least`, that `match`.
    std::vector<std::string> select(CVylLogLevel level,
                                    const std::function<bool(const std::string&)>& match,
                                    CVylLogLevel least = any) const {
        std::vector<std::string> found;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        for (const auto& line : m_state->lines)
            if ((level == any || line.first == level) && line.first >= least && match(line.second))
                found.push_back(line.second);
        return found;
    }

    std::shared_ptr<State> m_state;
};

class RootLogTest : public ::testing::Test {
protected:
    std::vector<std::string> errors() const { return m_log.atLeast(VYL_LOG_ERROR); }

    TempRoot m_root;
    LogCapture m_log;
};

} // namespace testenv
