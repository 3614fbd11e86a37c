// The framework's one platform event generator, through which the device-controlling mixin
// announces its lock, lock-failure and unlock events.
#pragma once

#include "osv_eventgen.h"

// Built before main with every channel on; opens nothing until its first announcement.
extern CVylEventGenerator g_eventGen;
