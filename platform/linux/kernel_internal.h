// Services of kernel.cpp for the other parts of the Linux platform layer.
#pragma once

#include "platform/platform.h"

// Delivers a console control event (CTRL_LOGOFF_EVENT, say) to the handler
// installed with SetConsoleCtrlHandler, as Windows does when a session ends.
// Returns the handler's answer, or FALSE when none is installed. May be
// called from any thread, and from a signal handler.
BOOL slotrec_deliver_console_event(DWORD event);
