// Runs a call that may fault inside code we do not own (a compressor), so
// the program can report the fault and go on.
#pragma once

// Runs body(context). Returns true when it returned normally, false when a
// fault escaped it: a C++ exception everywhere, and on Windows also a
// structured exception such as an access violation. Any thread.
bool RunGuarded(void (*body)(void* context), void* context);
