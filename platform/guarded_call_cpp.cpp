// RunGuarded where faults are C++ exceptions (Linux, the test fake): the
// compressors there report failures as codes or exceptions, never as
// hardware faults.
#include "platform/guarded_call.h"

bool RunGuarded(void (*body)(void* context), void* context) {
  try {
    body(context);
    return true;
  } catch (...) {
    return false;
  }
}
