// The bridge's built-in configuration document as the tests know it, kept apart from the
// product's copy so that a change to either shows up as a failing comparison.
#pragma once

#include <string>

namespace testenv {

// The whole document, 37 lines.
extern const char* const kBridgeDocument;

// The serial device list of the document (under serialSettings/device), moved to the top level:
// what a device specification list parses on its own.
std::string bridgeDeviceList();

} // namespace testenv
