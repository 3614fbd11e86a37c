// The bridge's built-in configuration document as the tests know it, kept apart from the
// product's copy so that a change to either shows up as a failing comparison.
#pragma once

#include <map>
#include <string>

namespace testenv {

// The whole document, 37 lines.
extern const char* const kBridgeDocument;

// The serial device list of the document (under serialSettings/device), moved to the top level:
// what a device specification list parses on its own.
std::string bridgeDeviceList();

// The document with the scalar values of some keys replaced; a key is named by its path of
// mapping keys ("networkSettings/gate"). Throws std::invalid_argument for a path the document
// does not hold, so that a misspelt key fails the test instead of being ignored.
std::string bridgeDocumentWith(const std::map<std::string, std::string>& values);

} // namespace testenv
