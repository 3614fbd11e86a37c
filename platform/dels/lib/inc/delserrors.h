// Exceptions of the event store. Constructing a parsing or database error writes its text to
// the store's log at once, so that a failure is on record even when a caller swallows it.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

// A wire buffer that cannot be decoded. `kind` is 1 for a buffer shorter than it declares,
// 0 for a format or message type that is not recognised (informational only).
class CDelsEventParsingError : public std::exception {
public:
    CDelsEventParsingError(const char* message, int kind, unsigned line);

    const char* what() const noexcept override { return m_message.c_str(); }
    int kind() const { return m_kind; }

private:
    std::string m_message;
    int m_kind;
};

// A stored event that does not have the shape of the type it is promoted to.
class CDelsEventPromotionError : public std::runtime_error {
public:
    explicit CDelsEventPromotionError(const std::string& message) : std::runtime_error(message) {}
};

// A failed SQLite (or system) operation of the store. `result` is the SQLite result code or an
// errno; `line` is the site in the store's sources (0 leaves it out of the text).
class CDelsDatabaseError : public std::exception {
public:
    CDelsDatabaseError(int result, const std::string& message, const std::string& sql,
                       unsigned line);

    const char* what() const noexcept override { return m_text.c_str(); }
    int errorCode() const { return m_result; }

private:
    int m_result;
    std::string m_text;
};

// A cross-process lock that could not be opened or taken. Nothing is logged for it.
class CDelsMutexError : public std::runtime_error {
public:
    explicit CDelsMutexError(const std::string& message) : std::runtime_error(message) {}
};

// A node configuration text that does not have the expected YAML form; `line` 0 leaves the line
// out of the text.
class CDelsYamlParsingError : public std::exception {
public:
    explicit CDelsYamlParsingError(const std::string& message, unsigned line = 0);

    const char* what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};
