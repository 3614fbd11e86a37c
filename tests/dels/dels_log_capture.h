// Captures what the store's logger writes, by letting syslog copy every line to stderr
// (LOG_PERROR) while gtest redirects stderr into a file. Test thread only.
#pragma once

#include <string>

#include <gtest/gtest.h>
#include <syslog.h>

#include "delslogger.h"

class DelsLogCapture {
public:
    DelsLogCapture() {
        CDelsLogger::logger().resetParams("DELS", LOG_PID | LOG_PERROR, LOG_LOCAL0);
        testing::internal::CaptureStderr();
    }
    ~DelsLogCapture() {
        if (!m_taken) {
            testing::internal::GetCapturedStderr();
        }
        CDelsLogger::logger().resetParams("DELS", LOG_PID, LOG_LOCAL0);
    }
    DelsLogCapture(const DelsLogCapture&) = delete;
    DelsLogCapture& operator=(const DelsLogCapture&) = delete;

    // Everything logged since construction; call once.
    std::string take() {
        m_taken = true;
        return testing::internal::GetCapturedStderr();
    }

private:
    bool m_taken = false;
};
