// Services of kernel.cpp for the other parts of the Linux platform layer.
#pragma once

#include "platform/linux/kernel/kernel_api.h"

// Delivers a console control event (CTRL_LOGOFF_EVENT, say) to the handler
// installed with SetConsoleCtrlHandler, as Windows does when a session ends:
// the handler runs soon after, on the thread that runs every console
// handler, not on the caller's. Returns TRUE when a handler is installed to
// receive it, FALSE otherwise. Any thread.
BOOL slotrec_deliver_console_event(DWORD event);

// How many stop signals (SIGINT, SIGQUIT, SIGHUP, SIGTERM) the handler
// installed with SetConsoleCtrlHandler has taken so far: what a wait that
// no console handler can end (a dialog of the desktop's) watches to give up
// when the user asks the program to stop. Any thread.
unsigned slotrec_stop_signals_taken();
