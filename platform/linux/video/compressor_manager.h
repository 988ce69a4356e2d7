// The installed video compressors, as the compressor manager and the AVIFile
// library of this platform layer see them.
//
// A compressor is a driver record: its codes and information for ICInfo and
// ICGetInfo, its answer to ICM_COMPRESS_QUERY, and the session operations a
// compressing AVI stream uses to turn DIB frames into packets for the file.
#pragma once

#include <cstdint>

#include "platform/linux/video/vfw_api.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

// One compressing stream's encoder state; each compressor defines its own.
struct CompressorSession;

// What a compressing stream asks of its compressor when its format is set.
struct CompressorConfig {
  BITMAPINFOHEADER format{};  // the input frames (already accepted by the query)
  AVRational time_base{1, 1}; // seconds per position: dwScale / dwRate
  int keyint = 0;             // longest distance between key frames; 0: the compressor's own
};

// Receives each finished packet, stamped with the position of the frame it
// codes (AV_NOPTS_VALUE for one a flush brings out). Returns 0 or a negative
// AVERROR code; after a refusal the compressor hands no more packets of that
// call. The packet stays the caller's.
using CompressorPacketSink = int (*)(void* sink_context, AVPacket* packet);

struct CompressorDriver {
  DWORD fcc_handler;  // the handler code ICInfo reports and ICOpen takes
  // ICGetInfo's record: the whole 568 bytes.
  void (*get_info)(ICINFO* info);
  // ICM_COMPRESS_QUERY: ICERR_OK when in (and out, unless null) can be
  // compressed, ICERR_BADFORMAT otherwise.
  LRESULT (*compress_query)(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
  // Starts an encoder for config (reading the compressor's settings now).
  // Returns 0 and the session, or an AVIERR_* code.
  HRESULT (*begin)(const CompressorConfig& config, CompressorSession** session);
  // Describes the compressed stream for the file's header.
  void (*stream_parameters)(const CompressorSession* session, AVCodecParameters* par);
  // Bytes of one input frame (DIB rows, padded to 4 bytes).
  std::size_t (*frame_bytes)(const CompressorSession* session);
  // Converts one DIB frame (bottom-up rows) into the session's picture.
  HRESULT (*convert)(CompressorSession* session, const BYTE* pixels);
  // Compresses the converted picture at position pts, as a key frame when
  // asked (one that no later frame looks past), and hands the packets that
  // are ready to sink. The compressors code without delay: the frame's one
  // packet comes out of this call. pts may repeat a position whose frame
  // could not be stored. AVIERR_FILEWRITE when the sink refused a packet.
  HRESULT (*compress)(CompressorSession* session, std::int64_t pts, bool key,
                      CompressorPacketSink sink, void* sink_context);
  // Hands every delayed packet to sink; no frame may follow.
  HRESULT (*flush)(CompressorSession* session, CompressorPacketSink sink, void* sink_context);
  // Frees the session.
  void (*end)(CompressorSession* session);
  // The stream expects no more frames for now: frees what can be made again
  // (the encoder, the picture). A frame that comes after all is coded as a
  // key frame by a new encoder. Null for a compressor that has nothing to
  // free.
  void (*rest)(CompressorSession* session);
};

// The installed compressor with this handler code (compared without regard to
// case), or null. Any thread.
const CompressorDriver* compressor_find(DWORD fcc_handler);

// Installs driver beside the built-in compressors for the rest of the
// process, as ICInstall installs a compressor function on Windows:
// compressor_find (so ICOpen and AVIMakeCompressedStream) finds it by its
// handler code; enumeration by index lists the built-in compressors only.
// Returns false when the handler code is taken. driver must outlive every
// use. Any thread.
bool compressor_install(const CompressorDriver* driver);

// Compares two four-character codes without regard to ASCII case.
bool fourcc_equal(DWORD a, DWORD b);

// Values of MinGW-w64's vfw.h that vfw_api.h does not need to publish.
constexpr DWORD kIcVersion = 0x0104;           // ICVERSION
constexpr DWORD kVidcfCompressFrames = 0x0008; // VIDCF_COMPRESSFRAMES
constexpr DWORD kVidcfFastTemporalC = 0x0020;  // VIDCF_FASTTEMPORALC
constexpr UINT kIcModeFastCompress = 5;        // ICMODE_FASTCOMPRESS
constexpr DWORD kBiBitfields = 3;              // BI_BITFIELDS
