// Every text the recorder prints or writes, in one place.
#pragma once

namespace log_text {

// Diagnostic log (one line per event on standard output).
inline constexpr const char* kSleepMs = " sleepMS = ";
inline constexpr const char* kSleep1 = " sleep1= ";
inline constexpr const char* kSleep2 = " sleep2= ";
inline constexpr const char* kCurAvi = " curAvi: frameCount= ";
inline constexpr const char* kStartTime = " startTime= ";
inline constexpr const char* kSleepShare = " sleep= ";
inline constexpr const char* kTryingPrepare = "Trying prepare ";
inline constexpr const char* kFileOpenFailed = " AVIFileOpen failed! ";
inline constexpr const char* kMetaOpenFailed = " MetaFileOpen failed! ";
inline constexpr const char* kCreateStreamFailed = " AVIFileCreateStream failed! ";
inline constexpr const char* kMakeCompressedFailed = " AVIMakeCompressedStream failed! ";
inline constexpr const char* kSetFormatFailed = " AVIStreamSetFormat failed! ";
inline constexpr const char* kStreamWriteFailed = " AVIStreamWrite failed! ";
inline constexpr const char* kCookStreams = " CookStreams! ";
inline constexpr const char* kKernelPanic = " Kernel Panic! ";
inline constexpr const char* kShiftAvi = " ShiftAVI! startTime= ";

// Printed by formatted output when the compressor faults inside a write.
inline constexpr const char* kWriteException = "Exception in AVIStreamWrite!\n";

// Segment files.
// Named by the minutes and seconds of the segment's start.
inline constexpr const char* kAviNameFormat = "%03d-%02d.avi";
inline constexpr const char* kMetaNameFormat = "%03d-%02d.meta";
// .meta files hold CR LF line ends wherever they are written (opened in
// binary mode, so no platform rewrites them).
inline constexpr const char* kMetaHeader = "<?xml version=\"1.0\"?>\r\n<frames>\r\n";
inline constexpr const char* kMetaFrameLine = "<frame time=\"%d\" x=\"%d\" y=\"%d\"/>\r\n";
inline constexpr const char* kMetaFooter = "\r\n</frames>\r\n";

}  // namespace log_text
