// What the store's logger writes while `body` runs: syslog copies every line to stderr
// (LOG_PERROR), which gtest captures. Test thread only.
#pragma once

#include <string>

#include <gtest/gtest.h>
#include <syslog.h>

#include "delslogger.h"

template <class Body> std::string delsLogOf(Body body) {
    CDelsLogger::logger().resetParams("DELS", LOG_PID | LOG_PERROR, LOG_LOCAL0);
    testing::internal::CaptureStderr();
    body();
    CDelsLogger::logger().resetParams("DELS", LOG_PID, LOG_LOCAL0);
    return testing::internal::GetCapturedStderr();
}
