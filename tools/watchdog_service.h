// The gateway's watchdog service as the bridge sees it on the bus: its name, object and methods.
// Shared by the simulator and the tests' stand-in, so that both answer the same interface.
#pragma once

namespace WatchdogService {

constexpr char kName[] = "com.ulvaro.watchdog";
constexpr char kPath[] = "/com/ulvaro/watchdog";

// "Register" (name, sender, period in seconds) -> accepted; "Tickle" (name) -> accepted;
// "Deregister" (name).
constexpr char kIntrospection[] = "<node>"
                                  " <interface name='com.ulvaro.watchdog.Manager'>"
                                  "  <method name='Register'>"
                                  "   <arg type='s' direction='in'/><arg type='s' direction='in'/>"
                                  "   <arg type='u' direction='in'/><arg type='b' direction='out'/>"
                                  "  </method>"
                                  "  <method name='Tickle'>"
                                  "   <arg type='s' direction='in'/><arg type='b' direction='out'/>"
                                  "  </method>"
                                  "  <method name='Deregister'>"
                                  "   <arg type='s' direction='in'/>"
                                  "  </method>"
                                  " </interface>"
                                  "</node>";

} // namespace WatchdogService
