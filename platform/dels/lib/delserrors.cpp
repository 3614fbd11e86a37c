#include "delserrors.h"

#include "delslogger.h"

CDelsEventParsingError::CDelsEventParsingError(const char* message, int kind, unsigned line)
    : m_message(message ? message : ""), m_kind(kind) {
    if (line != 0) {
        CDelsLogger::logger().logError("CDelsEventParsingError: msg=%s, line=%d", m_message.c_str(),
                                       static_cast<int>(line));
    } else {
        CDelsLogger::logger().logError("CDelsEventParsingError: msg=%s", m_message.c_str());
    }
}

CDelsDatabaseError::CDelsDatabaseError(int result, const std::string& message,
                                       const std::string& sql, unsigned line)
    : m_result(result) {
    m_text = "msg=" + message + ", result=" + std::to_string(result) + ", sql=\"" + sql + "\"";
    if (line != 0) {
        m_text += ", line=" + std::to_string(line);
    }
    CDelsLogger::logger().logError("CDelsDatabaseError %s", m_text.c_str());
}

CDelsYamlParsingError::CDelsYamlParsingError(const std::string& message, unsigned line)
    : m_text("yaml context=" + message) {
    if (line != 0) {
        m_text += ", line=" + std::to_string(line);
    }
    CDelsLogger::logger().logError("CDelsYamlParsingError: %s", m_text.c_str());
}
