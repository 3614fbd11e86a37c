// Captures the framework's log lines while it lives, for tests that check what was logged.
// Header-only: test_common itself does not link the framework, only the programs that include
// this do. Lines may arrive from any thread; the queries may be called from any thread too.
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
    struct Line {
        CVylLogLevel level;
        std::string text;
    };
    typedef std::function<void(CVylLogLevel, const std::string&)> Hook;

    // `onLine`, when given, also sees every line as it is written (outside the capture's lock),
    // for tests that react to a line while the code under test runs.
    explicit LogCapture(Hook onLine = nullptr) : m_state(std::make_shared<State>()) {
        // The logger calls a copy of the observer after releasing its own lock, so a line may
        // still arrive after the destructor: the copy keeps the state alive.
        std::shared_ptr<State> state = m_state;
        QCF::setLogObserver([state, onLine](CVylLogLevel level, const std::string& text) {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->lines.push_back({level, text});
            }
            if (onLine)
                onLine(level, text);
        });
    }
    ~LogCapture() { QCF::setLogObserver(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Whether a line reads exactly `text` (at any level, or at `level`).
    bool has(const std::string& text) const {
        return countWhere([&](const Line& l) { return l.text == text; }) > 0;
    }
    bool has(CVylLogLevel level, const std::string& text) const {
        return countWhere([&](const Line& l) { return l.level == level && l.text == text; }) > 0;
    }
    // Whether a line at `level` holds `part`.
    bool contains(CVylLogLevel level, const std::string& part) const {
        return count(level, part) > 0;
    }
    // How many lines (at any level, or at `level`) hold `part`; every line at `level` when
    // `part` is empty.
    int count(const std::string& part) const { return count(any, part); }
    int count(CVylLogLevel level, const std::string& part = std::string()) const {
        return countWhere([&](const Line& l) {
            return (level == any || l.level == level) && l.text.find(part) != std::string::npos;
        });
    }
    // The texts of the lines that begin with `prefix` (at any level, or at `level`), in order.
    std::vector<std::string> starting(const std::string& prefix) const {
        return starting(any, prefix);
    }
    std::vector<std::string> starting(CVylLogLevel level, const std::string& prefix) const {
        return texts([&](const Line& l) {
            return (level == any || l.level == level) &&
                   l.text.compare(0, prefix.size(), prefix) == 0;
        });
    }
    // The texts of the lines at `level` or worse, in order.
    std::vector<std::string> atLeast(CVylLogLevel level) const {
        return texts([&](const Line& l) { return l.level >= level; });
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->lines.clear();
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<Line> lines;
    };
    // No real level is negative.
    static constexpr CVylLogLevel any = -1;

    int countWhere(const std::function<bool(const Line&)>& match) const {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        int n = 0;
        for (const auto& line : m_state->lines)
            n += match(line) ? 1 : 0;
        return n;
    }
    std::vector<std::string> texts(const std::function<bool(const Line&)>& match) const {
        std::vector<std::string> found;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        for (const auto& line : m_state->lines)
            if (match(line))
                found.push_back(line.text);
        return found;
    }

    std::shared_ptr<State> m_state;
};

// Fixture: a temporary platform root, and the lines logged while the test runs.
class RootLogTest : public ::testing::Test {
protected:
    // The texts of the error (and worse) lines so far.
    std::vector<std::string> errors() const { return m_log.atLeast(VYL_LOG_ERROR); }

    TempRoot m_root;
    LogCapture m_log;
};

} // namespace testenv
