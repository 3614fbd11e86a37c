#pragma once

#include "qcf_dbus_dispatcher.h"
#include "qcf_dbus_interface.h"
#include "qcf_dbus_method_base.h"
#include "qcf_dbus_object.h"
#include "qcf_dbus_signal_base.h"
#include "qcf_dbus_signal_proxy.h"
#include "qcf_dbus_signal_proxy_base.h"
