#include "qcf_eventgen.h"

CVylEventGenerator g_eventGen(true, true, true);
