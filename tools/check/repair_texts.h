// Every text slotrec-check --repair prints, in one place. A file's line is
// its name, a colon and what was done, the parts joined by ", ".
#pragma once

namespace repair_text {

inline constexpr const char* kNothing = "%s: nothing to repair\n";
inline constexpr const char* kDone = "%s: %s\n";
inline constexpr const char* kLeft = "%s: left as it is: %s\n";
inline constexpr const char* kFailed = "%s: not repaired, the file is as it was: %s\n";
inline constexpr const char* kJoin = ", ";

// What was done to an AVI file.
inline constexpr const char* kHeadersLent = "headers taken from %s (it had none written)";
inline constexpr const char* kCutPartial = "cut %lld bytes of a partial chunk";
inline constexpr const char* kCutNoChunk = "cut %lld bytes after the last whole chunk";
inline constexpr const char* kFramesDropped = "%lld frame%s beyond the .meta's frame lines dropped";
inline constexpr const char* kIndexWritten = "index of %lld frame%s written (%lld key frame%s)";
inline constexpr const char* kSizesFilled = "sizes filled in";

// What was done to a .meta file.
inline constexpr const char* kCutLineDropped = "a line cut off in the middle dropped";
inline constexpr const char* kLinesDropped = "%lld frame line%s beyond the AVI's frames dropped";
inline constexpr const char* kFooterWritten = "footer written";
inline constexpr const char* kHeaderAndFooterWritten = "header and footer written (it was empty)";
inline constexpr const char* kMetaMade = "written with its header and footer (it was missing; its AVI has no frames)";

// Why a file is left as it is.
inline constexpr const char* kNotAvi = "no RIFF AVI header";
inline constexpr const char* kHeadersCut = "its headers are cut short or incomplete";
inline constexpr const char* kNoLender =
    "its headers were never written, and no completed AVI of the run can lend them";
inline constexpr const char* kNotChunks = "after its empty headers come no chunks of frames";
inline constexpr const char* kUnknownVideo =
    "its video is neither H.264 nor uncompressed, so its key frames are unknown";
inline constexpr const char* kBeyondFirstList =
    "its first RIFF list is complete and its frames go on in another (a file past 1 GiB), which is "
    "not rebuilt";
inline constexpr const char* kTooLarge = "it is too large for one RIFF list (4 GiB)";
inline constexpr const char* kUnreadable = "it cannot be read: %s";
inline constexpr const char* kMetaNoHeader = "it does not begin with the header";
inline constexpr const char* kMetaBadLines = "%lld of its lines are not frame lines";
inline constexpr const char* kMetaLfLines = "%lld of its lines end in LF alone";
inline constexpr const char* kMetaTimeBack = "its times go back at line %lld";
inline constexpr const char* kMetaFewer =
    "it has fewer frame lines (%lld) than its complete AVI has frames (%lld)";
inline constexpr const char* kMetaEmpty = "it is empty, and its AVI holds frames";
inline constexpr const char* kMetaNoAvi = "its AVI is neither complete nor one the recorder left unfinished, so its frames are not known for "
    "certain";

// Why a repaired copy could not be put in place.
inline constexpr const char* kCannotWrite = "cannot write %s: %s";
inline constexpr const char* kCannotRead = "cannot read it: %s";
inline constexpr const char* kCannotReplace = "cannot rename %s over it: %s";
inline constexpr const char* kDirectoryNotFlushed = "the directory could not be flushed: %s";

inline const char* Plural(long long n) { return n == 1 ? "" : "s"; }

}  // namespace repair_text
