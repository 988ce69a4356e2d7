// The one header through which portable code reaches the platform.
//
// On Windows the operations are the system's own; on Linux they are
// declared with the same names, values and layouts by platform/linux/ and
// implemented there (or by the test fake, which is linked instead).
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>
#include <vfw.h>

#include "platform/win32/session_end.h"
#else
#include "platform/linux/win32_api.h"
#endif
