// PipeWire streams of the portal's screen cast as a capture source. See
// pipewire_screen.h for what it gives; here is how.
//
// Each stream asks for raw video in one of the 32-bit formats below, in
// memory PipeWire maps for us (no DMA-BUF: nothing here could read one),
// with the header, video damage and cursor metadata. Its process callback,
// on the PipeWire thread, takes each buffer that came, copies its damaged
// rows into the stream's kept picture as BGRX and marks them changed, keeps
// the cursor's position and image when the metadata brings new ones, and
// gives the buffer back at once.
//
// The main thread's stores are kept up to date as X11's are: a store read
// whole from one place is tracked, the rows the streams mark changed are
// marked stale in every tracked store, and an update copies the stale rows
// from the kept pictures and nothing else. An idle desktop sends nothing,
// so its frames cost no copy, and the compressor sees no changed row.
#include "platform/linux/screen/pipewire_screen.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/linux/screen/screencast_portal.h"
#include "platform/linux/video/registry_api.h"

namespace pipewire_screen {
namespace {

constexpr char kSettingsKey[] = "Software\\slotrec";
constexpr char kTokenValue[] = "screencast_restore_token";
constexpr char kTokenValueAll[] = "screencast_restore_token_all";  // -totalcapture's choice
constexpr auto kFirstPictureWait = std::chrono::seconds(10);
constexpr auto kPictureNudgeAfter = std::chrono::milliseconds(1500);
constexpr int kMaxSide = 16384;
// Cursor images up to this size are taken; the metadata is asked for with
// room for larger ones, since a desktop offers one fixed size (mutter 384).
constexpr std::size_t kMaxCursorSide = 512;
constexpr std::size_t kCursorRoomSide = 1024;
constexpr std::size_t kMaxDamageRegions = 16;
// Buffers the desktop fills for us, each a whole picture of shared memory.
// Every picture is copied out as soon as it comes, but mutter, given only
// three, at times sends an idle screen's first picture into none of them,
// and then nothing more.
constexpr int kBuffers = 4;

// The formats offered, best first: the first two are BGRX as they stand.
constexpr spa_video_format kFormats[] = {
    SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
    SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR};

// Where a format keeps blue, green and red in its four bytes; null when it
// is not one of ours.
const int* channel_offsets(std::uint32_t format) {
  static const int kBgr[] = {0, 1, 2};
  static const int kRgb[] = {2, 1, 0};
  static const int kXrgb[] = {3, 2, 1};
  static const int kXbgr[] = {1, 2, 3};
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return kBgr;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return kRgb;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
      return kXrgb;
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
      return kXbgr;
    default:
      return nullptr;
  }
}

bool has_alpha(std::uint32_t format) {
  return format == SPA_VIDEO_FORMAT_BGRA || format == SPA_VIDEO_FORMAT_RGBA ||
         format == SPA_VIDEO_FORMAT_ARGB || format == SPA_VIDEO_FORMAT_ABGR;
}

// One row of `width` pixels of `format` as BGRX.
void row_to_bgrx(std::uint32_t format, const std::uint8_t* in, std::uint8_t* out, int width) {
  const int* at = channel_offsets(format);
  if (at[0] == 0) {
    std::memcpy(out, in, static_cast<std::size_t>(width) * 4u);
    return;
  }
  for (int x = 0; x < width; ++x, in += 4, out += 4) {
    out[0] = in[at[0]];
    out[1] = in[at[1]];
    out[2] = in[at[2]];
    out[3] = 0;
  }
}

struct Stream {
  portal::Stream described;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  bool streaming = false;  // PipeWire thread only

  // Under g.frame_lock.
  std::uint32_t format = 0;
  int width = 0;
  int height = 0;
  bool has_picture = false;
  bool whole_picture_due = true;      // the next picture is copied whole (a new size)
  std::vector<std::uint8_t> picture;  // BGRX, width * 4 bytes a row
  std::vector<std::uint8_t> changed;  // one per row: changed since the main thread looked
  std::vector<std::uint8_t> damage;   // one per row: what the buffer at hand changed (capacity kept)
  bool cursor_known = false;          // the metadata has said where the pointer is
  bool cursor_visible = false;
  int cursor_x = 0;  // the pointer's position in the stream's pixels
  int cursor_y = 0;
  std::uint64_t cursor_moved = 0;  // when, in g.cursor_serial counts

  // Main thread only: the stream's top-left corner in desktop coordinates.
  int desktop_x = 0;
  int desktop_y = 0;
};

struct Store : screen::MemoryStore {
  bool tracked = false;
  int origin_x = 0;
  int origin_y = 0;
  std::uint64_t geometry_serial = 0;
};

struct Source {
  portal::Session session;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  spa_hook core_listener{};
  pw_registry* registry = nullptr;
  spa_hook registry_listener{};
  std::vector<std::unique_ptr<Stream>> streams;
  bool cursor_metadata = false;
  std::atomic<bool> lost{false};

  // Written by the PipeWire thread, read by the main thread, both under it:
  // every Stream field so marked, and these.
  std::mutex frame_lock;
  std::condition_variable picture_arrived;
  std::string refusal;                 // why a stream cannot be read
  std::uint64_t geometry_serial = 0;   // moves on when a stream's size changes
  screen::CursorImage cursor_image;    // the newest image the metadata gave
  bool cursor_image_valid = false;
  std::uint64_t cursor_image_serial = 0;
  std::uint64_t cursor_serial = 0;

  // Main thread only.
  screen::Geometry geometry{};
  bool geometry_valid = false;
  std::uint64_t geometry_read_serial = 0;
  std::vector<Store*> tracked;
  screen::CursorImage cursor_copy;
  std::uint64_t cursor_copy_serial = 0;
};

Source* g_source = nullptr;

Store* store_of(const screen::PixelStore* store) { return static_cast<Store*>(store->impl); }

void lose(const char* what) {
  if (g_source->lost.exchange(true)) return;
  g_source->picture_arrived.notify_all();
  screen::report_source_lost(what);
}

// ---- the PipeWire thread ----------------------------------------------------

void refuse(Stream* s, const std::string& why) {
  std::lock_guard<std::mutex> lock(g_source->frame_lock);
  if (g_source->refusal.empty()) g_source->refusal = why;
  (void)s;
  g_source->picture_arrived.notify_all();
}

void on_state_changed(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* s = static_cast<Stream*>(data);
  if (state == PW_STREAM_STATE_STREAMING) s->streaming = true;
  if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED) return;
  char what[256];
  std::snprintf(what, sizeof what, "the screen cast of the Wayland desktop ended (%s)",
                error != nullptr ? error : "the stream was disconnected");
  refuse(s, what);
  lose(what);
}

// Answers the format the desktop chose with the buffers and metadata we want.
void on_param_changed(void* data, uint32_t id, const spa_pod* param) {
  auto* s = static_cast<Stream*>(data);
  if (param == nullptr || id != SPA_PARAM_Format) return;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0 || channel_offsets(info.format) == nullptr ||
      info.size.width == 0 || info.size.height == 0 || info.size.width > kMaxSide ||
      info.size.height > kMaxSide) {
    char why[160];
    std::snprintf(why, sizeof why, "the screen cast's picture format (%u, %ux%u) cannot be read",
                  info.format, info.size.width, info.size.height);
    refuse(s, why);
    bool recording;
    {
      std::lock_guard<std::mutex> lock(g_source->frame_lock);
      recording = s->has_picture;
    }
    if (recording) lose(why);  // mid-run: never black frames instead
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_source->frame_lock);
    const int width = static_cast<int>(info.size.width);
    const int height = static_cast<int>(info.size.height);
    if (width != s->width || height != s->height) {
      s->picture.assign(static_cast<std::size_t>(width) * height * 4u, 0);
      s->changed.assign(static_cast<std::size_t>(height), 1);
      s->width = width;
      s->height = height;
      s->whole_picture_due = true;
      if (s->has_picture) ++g_source->geometry_serial;
    }
    s->format = info.format;
  }
  const std::int32_t stride = static_cast<std::int32_t>(info.size.width) * 4;
  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[4];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
      SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, 16),
      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * static_cast<std::int32_t>(info.size.height)),
      SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(
          sizeof(spa_meta_region) * kMaxDamageRegions, sizeof(spa_meta_region),
          sizeof(spa_meta_region) * kMaxDamageRegions)));
  const std::int32_t cursor_bytes = static_cast<std::int32_t>(
      sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + kCursorRoomSide * kCursorRoomSide * 4);
  params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(cursor_bytes, sizeof(spa_meta_cursor), cursor_bytes)));
  pw_stream_update_params(s->stream, params, 4);
}

// The cursor metadata of a buffer: a new position, and a new image when it
// brings one. Under frame_lock.
void take_cursor(Stream* s, const spa_buffer* buffer) {
  const auto* cursor = static_cast<const spa_meta_cursor*>(
      spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
  if (cursor == nullptr || !spa_meta_cursor_is_valid(cursor)) return;
  if (!s->cursor_known) s->cursor_visible = true;  // until an empty image says otherwise
  s->cursor_known = true;
  s->cursor_x = cursor->position.x;
  s->cursor_y = cursor->position.y;
  s->cursor_moved = ++g_source->cursor_serial;
  if (cursor->bitmap_offset < sizeof(spa_meta_cursor)) return;  // no new image
  const spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_Cursor);
  if (cursor->bitmap_offset + sizeof(spa_meta_bitmap) > meta->size) return;
  const auto* bitmap = reinterpret_cast<const spa_meta_bitmap*>(
      reinterpret_cast<const std::uint8_t*>(cursor) + cursor->bitmap_offset);
  if (!spa_meta_bitmap_is_valid(bitmap)) return;
  if (bitmap->offset == 0 || bitmap->size.width == 0 || bitmap->size.height == 0) {
    s->cursor_visible = false;
    return;
  }
  const int* at = channel_offsets(bitmap->format);
  const std::size_t width = bitmap->size.width;
  const std::size_t height = bitmap->size.height;
  const std::size_t stride = bitmap->stride > 0 ? static_cast<std::size_t>(bitmap->stride) : width * 4;
  const std::size_t end = cursor->bitmap_offset + bitmap->offset + stride * (height - 1) + width * 4;
  if (at == nullptr || width > kMaxCursorSide || height > kMaxCursorSide || stride < width * 4 ||
      end > meta->size) {
    return;
  }
  const bool alpha = has_alpha(bitmap->format);
  const int alpha_at = 6 - at[0] - at[1] - at[2];  // the byte none of the colours has
  screen::CursorImage& image = g_source->cursor_image;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  image.xhot = cursor->hotspot.x;
  image.yhot = cursor->hotspot.y;
  image.argb.resize(width * height);
  const auto* pixels = reinterpret_cast<const std::uint8_t*>(bitmap) + bitmap->offset;
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* p = pixels + y * stride;
    for (std::size_t x = 0; x < width; ++x, p += 4) {
      const std::uint32_t a = alpha ? p[alpha_at] : 0xffu;
      image.argb[y * width + x] = (a << 24) | (std::uint32_t{p[at[2]]} << 16) |
                                  (std::uint32_t{p[at[1]]} << 8) | p[at[0]];
    }
  }
  s->cursor_visible = true;
  g_source->cursor_image_valid = true;
  ++g_source->cursor_image_serial;
}

// Marks the rows of a buffer's damage in `rows`; all of them when the
// buffer says nothing of its damage.
void note_damage(const spa_buffer* buffer, std::vector<std::uint8_t>& rows) {
  const spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
  const int height = static_cast<int>(rows.size());
  if (meta == nullptr) {
    std::fill(rows.begin(), rows.end(), 1);
    return;
  }
  const spa_meta_region* region = nullptr;
  spa_meta_for_each(region, meta) {
    if (!spa_meta_region_is_valid(region)) break;
    const int y0 = std::max(0, region->region.position.y);
    const int y1 = std::min<long>(height, long{region->region.position.y} + region->region.size.height);
    for (int y = y0; y < y1; ++y) rows[static_cast<std::size_t>(y)] = 1;
  }
}

bool has_pixels(const spa_buffer* buffer) {
  if (buffer->n_datas < 1 || buffer->datas[0].data == nullptr) return false;
  const spa_chunk* chunk = buffer->datas[0].chunk;
  return chunk->size > 0 && (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0;
}

// Drops our mapping's pages of [data, data + bytes): the memory stays the
// desktop's, and the next read faults them in again.
void unmap_pages(void* data, std::size_t bytes) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

// Copies the rows a buffer's damage names (all of them for a picture of a
// new size) into the stream's kept picture and marks them changed. Under
// frame_lock.
void take_picture(Stream* s, const spa_buffer* buffer) {
  const spa_data& plane = buffer->datas[0];
  const std::size_t row_bytes = static_cast<std::size_t>(s->width) * 4u;
  const std::size_t stride = plane.chunk->stride > 0 ? static_cast<std::size_t>(plane.chunk->stride) : row_bytes;
  const std::size_t needed = stride * static_cast<std::size_t>(s->height - 1) + row_bytes;
  if (stride < row_bytes || plane.chunk->offset + needed > plane.maxsize) return;
  std::vector<std::uint8_t>& rows = s->damage;
  rows.assign(static_cast<std::size_t>(s->height), 0);
  if (s->whole_picture_due) {
    std::fill(rows.begin(), rows.end(), 1);
  } else {
    note_damage(buffer, rows);
  }
  s->whole_picture_due = false;
  const auto* base = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
  for (int y = 0; y < s->height; ++y) {
    if (rows[static_cast<std::size_t>(y)] == 0) continue;
    row_to_bgrx(s->format, base + static_cast<std::size_t>(y) * stride,
                s->picture.data() + static_cast<std::size_t>(y) * row_bytes, s->width);
    s->changed[static_cast<std::size_t>(y)] = 1;
  }
  if (!s->has_picture) {
    s->has_picture = true;
    g_source->picture_arrived.notify_all();
  }
}

// Every buffer that came since the last call, oldest first: its cursor and
// its damaged rows (a buffer's damage is against the one before it, so none
// may be skipped). They go back to the desktop once all are taken.
void on_process(void* data) {
  auto* s = static_cast<Stream*>(data);
  pw_buffer* taken[16];
  std::size_t count = 0;
  std::lock_guard<std::mutex> lock(g_source->frame_lock);
  while (count < sizeof taken / sizeof taken[0]) {
    pw_buffer* next = pw_stream_dequeue_buffer(s->stream);
    if (next == nullptr) break;
    taken[count++] = next;
    const spa_buffer* buffer = next->buffer;
    take_cursor(s, buffer);
    if (has_pixels(buffer) && s->height > 0) take_picture(s, buffer);
  }
  for (std::size_t i = 0; i < count; ++i) {
    // The buffer's pages are shared with the desktop and stay in it; ours
    // are given back, so that the mapped buffers (a whole picture each) do
    // not stay resident here between pictures.
    const spa_buffer* buffer = taken[i]->buffer;
    for (std::uint32_t d = 0; d < buffer->n_datas; ++d) {
      const spa_data& plane = buffer->datas[d];
      if (plane.data != nullptr && plane.type == SPA_DATA_MemFd) unmap_pages(plane.data, plane.maxsize);
    }
    pw_stream_queue_buffer(s->stream, taken[i]);
  }
}

const pw_stream_events kStreamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = on_state_changed;
  events.param_changed = on_param_changed;
  events.process = on_process;
  return events;
}();

void on_core_error(void*, uint32_t id, int, int res, const char* message) {
  if (id != PW_ID_CORE) return;
  char what[256];
  std::snprintf(what, sizeof what, "lost the connection to PipeWire (%s: %s)", spa_strerror(res),
                message != nullptr ? message : "");
  lose(what);
}

const pw_core_events kCoreEvents = [] {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = on_core_error;
  return events;
}();

// A stream's node going away is the desktop ending the cast: the user
// stopped sharing, or the compositor stopped.
void on_global_remove(void*, uint32_t id) {
  for (const auto& s : g_source->streams) {
    if (s->described.node_id == id) lose("the Wayland desktop stopped sharing the screen");
  }
}

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global_remove = on_global_remove;
  return events;
}();

// ---- start and stop (main thread) ---------------------------------------------

std::string read_token(const char* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  char text[512] = "";
  DWORD type = 0, bytes = sizeof text - 1;
  const LONG result = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return "";
  text[std::min<DWORD>(bytes, sizeof text - 1)] = '\0';
  return text;
}

void keep_token(const char* value, const std::string& token) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(token.c_str()),
                 static_cast<DWORD>(token.size() + 1));
  RegCloseKey(key);
}

bool connect_stream(Source* source, Stream* s) {
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                           "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr);
  s->stream = pw_stream_new(source->core, "slotrec", props);
  if (s->stream == nullptr) return false;
  pw_stream_add_listener(s->stream, &s->listener, &kStreamEvents, s);
  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_pod_frame frame;
  spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), 0);
  spa_pod_builder_add(&b, SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
  spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_frame choice;
  spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
  spa_pod_builder_id(&b, kFormats[0]);  // the default
  for (spa_video_format f : kFormats) spa_pod_builder_id(&b, f);
  spa_pod_builder_pop(&b, &choice);
  const spa_rectangle size_default = SPA_RECTANGLE(
      static_cast<uint32_t>(std::max(1, s->described.width)), static_cast<uint32_t>(std::max(1, s->described.height)));
  const spa_rectangle size_min = SPA_RECTANGLE(1, 1);
  const spa_rectangle size_max = SPA_RECTANGLE(kMaxSide, kMaxSide);
  spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size,
                      SPA_POD_CHOICE_RANGE_Rectangle(&size_default, &size_min, &size_max), 0);
  const spa_fraction rate_default = SPA_FRACTION(60, 1);
  const spa_fraction rate_min = SPA_FRACTION(0, 1);
  const spa_fraction rate_max = SPA_FRACTION(1000, 1);
  spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_framerate,
                      SPA_POD_CHOICE_RANGE_Fraction(&rate_default, &rate_min, &rate_max), 0);
  const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
  return pw_stream_connect(s->stream, PW_DIRECTION_INPUT, s->described.node_id,
                           static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                        PW_STREAM_FLAG_MAP_BUFFERS),
                           &format, 1) == 0;
}

// Connects to the portal's PipeWire and starts every stream; PipeWire's
// thread runs from here on. False with the reason.
bool start_streams(Source* source, std::string* reason) {
  pw_init(nullptr, nullptr);
  source->loop = pw_thread_loop_new("slotrec-pipewire", nullptr);
  if (source->loop == nullptr || pw_thread_loop_start(source->loop) != 0) {
    *reason = "PipeWire's thread could not be started";
    return false;
  }
  pw_thread_loop_lock(source->loop);
  source->context = pw_context_new(pw_thread_loop_get_loop(source->loop), nullptr, 0);
  if (source->context != nullptr) {
    source->core = pw_context_connect_fd(source->context, source->session.pipewire_fd, nullptr, 0);
    if (source->core != nullptr) source->session.pipewire_fd = -1;  // PipeWire's now
  }
  bool ok = source->core != nullptr;
  if (!ok) *reason = "the screen cast's PipeWire connection could not be used";
  if (ok) {
    pw_core_add_listener(source->core, &source->core_listener, &kCoreEvents, source);
    source->registry = pw_core_get_registry(source->core, PW_VERSION_REGISTRY, 0);
    if (source->registry != nullptr) {
      pw_registry_add_listener(source->registry, &source->registry_listener, &kRegistryEvents,
                               source);
    }
  }
  for (auto& s : source->streams) {
    if (ok && !connect_stream(source, s.get())) {
      *reason = "a PipeWire stream of the screen cast could not be connected";
      ok = false;
    }
  }
  pw_thread_loop_unlock(source->loop);
  return ok;
}

// Waits for every stream's first picture, or a refusal, or the loss.
bool wait_for_pictures(Source* source, std::string* reason) {
  const auto all_there = [source] {
    return std::all_of(source->streams.begin(), source->streams.end(),
                       [](const std::unique_ptr<Stream>& s) { return s->has_picture; });
  };
  const auto deadline = std::chrono::steady_clock::now() + kFirstPictureWait;
  std::unique_lock<std::mutex> lock(source->frame_lock);
  for (;;) {
    source->picture_arrived.wait_for(lock, kPictureNudgeAfter, [&] {
      return all_there() || !source->refusal.empty() || source->lost.load();
    });
    if (all_there() || !source->refusal.empty() || source->lost.load() ||
        std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    // A desktop sends a picture when something changed, and one when a
    // stream starts; that one can go missing (mutter had no buffer of ours
    // ready), and an idle monitor then never sends another. Pausing and
    // restarting the stream has it send a picture again.
    std::vector<pw_stream*> silent;
    for (const auto& s : source->streams) {
      if (!s->has_picture) silent.push_back(s->stream);
    }
    lock.unlock();
    pw_thread_loop_lock(source->loop);
    for (pw_stream* stream : silent) {
      pw_stream_set_active(stream, false);
      pw_stream_set_active(stream, true);
    }
    pw_thread_loop_unlock(source->loop);
    lock.lock();
  }
  if (!source->refusal.empty()) {
    *reason = source->refusal;
    return false;
  }
  if (!all_there()) {
    *reason = "the screen cast sent no picture within 10 seconds";
    return false;
  }
  return true;
}

void stop_streams(Source* source) {
  if (source->loop != nullptr) {
    pw_thread_loop_lock(source->loop);
    for (auto& s : source->streams) {
      if (s->stream == nullptr) continue;
      spa_hook_remove(&s->listener);  // its end is ours, not a loss
      pw_stream_destroy(s->stream);
      s->stream = nullptr;
    }
    if (source->registry != nullptr) {
      spa_hook_remove(&source->registry_listener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(source->registry));
    }
    if (source->core != nullptr) {
      spa_hook_remove(&source->core_listener);
      pw_core_disconnect(source->core);
    }
    if (source->context != nullptr) pw_context_destroy(source->context);
    pw_thread_loop_unlock(source->loop);
    pw_thread_loop_stop(source->loop);
    pw_thread_loop_destroy(source->loop);
  }
  source->registry = nullptr;
  source->core = nullptr;
  source->context = nullptr;
  source->loop = nullptr;
  portal::close_screencast(&source->session);
}

// ---- the capture source (main thread) -----------------------------------------

// Lays the streams out in desktop coordinates: the bounding box of their
// positions, the first stream the primary monitor. Under frame_lock.
void lay_out(Source* source) {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool first = true;
  for (const auto& s : source->streams) {
    const int x0 = s->described.x, y0 = s->described.y;
    left = first ? x0 : std::min(left, x0);
    top = first ? y0 : std::min(top, y0);
    right = first ? x0 + s->width : std::max(right, x0 + s->width);
    bottom = first ? y0 + s->height : std::max(bottom, y0 + s->height);
    first = false;
  }
  for (auto& s : source->streams) {
    s->desktop_x = s->described.x - left;
    s->desktop_y = s->described.y - top;
  }
  const Stream& primary = *source->streams.front();
  source->geometry = screen::Geometry{right - left, bottom - top, primary.desktop_x,
                                      primary.desktop_y, primary.width, primary.height};
  source->geometry_valid = true;
  source->geometry_read_serial = source->geometry_serial;
}

bool source_readable() { return g_source != nullptr && !g_source->lost.load(); }

bool source_geometry(screen::Geometry* out, bool refresh) {
  if (!source_readable()) return false;
  std::lock_guard<std::mutex> lock(g_source->frame_lock);
  if (refresh || !g_source->geometry_valid || g_source->geometry_read_serial != g_source->geometry_serial) {
    lay_out(g_source);
  }
  *out = g_source->geometry;
  return true;
}

bool store_create(screen::PixelStore* store, int width, int height) {
  auto* impl = new (std::nothrow) Store;
  return impl != nullptr && screen::make_memory_store(impl, store, width, height);
}

void untrack(Store* impl) {
  if (!impl->tracked || g_source == nullptr) return;
  impl->tracked = false;
  auto& list = g_source->tracked;
  list.erase(std::remove(list.begin(), list.end(), impl), list.end());
}

void store_destroy(screen::PixelStore* store) {
  if (Store* impl = store_of(store)) {
    untrack(impl);
    delete impl;
  }
  *store = screen::PixelStore{};
}

// Copies desktop rows [desktop_y, desktop_y + h) from column desktop_x into
// store rows from y, columns x .. x+w; black where no stream shows. Under
// frame_lock.
void copy_rows(screen::PixelStore* store, int x, int y, int w, int h, int desktop_x, int desktop_y) {
  for (int row = 0; row < h; ++row) {
    std::uint8_t* out = store->pixels + (y + row) * store->stride + x * 4;
    const int dy = desktop_y + row;
    bool covered = false;
    for (const auto& s : g_source->streams) {
      const int sy = dy - s->desktop_y;
      const int x0 = std::max(desktop_x, s->desktop_x);
      const int x1 = std::min(desktop_x + w, s->desktop_x + s->width);
      if (sy < 0 || sy >= s->height || x0 >= x1) continue;
      if (!covered && (x0 > desktop_x || x1 < desktop_x + w)) {
        std::memset(out, 0, static_cast<std::size_t>(w) * 4u);
      }
      covered = true;
      std::memcpy(out + (x0 - desktop_x) * 4,
                  s->picture.data() + (static_cast<std::size_t>(sy) * s->width + (x0 - s->desktop_x)) * 4u,
                  static_cast<std::size_t>(x1 - x0) * 4u);
    }
    if (!covered) std::memset(out, 0, static_cast<std::size_t>(w) * 4u);
  }
  Store* impl = store_of(store);
  std::fill(impl->changed_rows.begin() + y, impl->changed_rows.begin() + y + h, 1);
}

// Takes the rows the streams marked changed and marks them stale in every
// tracked store. Under frame_lock.
void collect_changes() {
  for (auto& s : g_source->streams) {
    for (int row = 0; row < s->height; ++row) {
      if (s->changed[static_cast<std::size_t>(row)] == 0) continue;
      s->changed[static_cast<std::size_t>(row)] = 0;
      for (Store* impl : g_source->tracked) {
        const int y = s->desktop_y + row - impl->origin_y;
        if (y >= 0 && y < static_cast<int>(impl->stale_rows.size())) {
          impl->stale_rows[static_cast<std::size_t>(y)] = 1;
        }
      }
    }
  }
}

bool store_read(screen::PixelStore* store, int x, int y, int w, int h, int desktop_x, int desktop_y) {
  if (!source_readable() || store->impl == nullptr) return false;
  std::lock_guard<std::mutex> lock(g_source->frame_lock);
  untrack(store_of(store));
  copy_rows(store, x, y, w, h, desktop_x, desktop_y);
  return true;
}

bool store_update(screen::PixelStore* store, int desktop_x, int desktop_y) {
  if (!source_readable() || store->impl == nullptr) return false;
  Store* impl = store_of(store);
  std::lock_guard<std::mutex> lock(g_source->frame_lock);
  collect_changes();
  const bool current = impl->tracked && impl->origin_x == desktop_x && impl->origin_y == desktop_y &&
                       impl->geometry_serial == g_source->geometry_serial;
  if (!current) {
    untrack(impl);
    copy_rows(store, 0, 0, store->width, store->height, desktop_x, desktop_y);
    impl->tracked = true;
    impl->origin_x = desktop_x;
    impl->origin_y = desktop_y;
    impl->geometry_serial = g_source->geometry_serial;
    std::fill(impl->stale_rows.begin(), impl->stale_rows.end(), 0);
    g_source->tracked.push_back(impl);
    return true;
  }
  for (int row = 0; row < store->height; ++row) {
    if (impl->stale_rows[static_cast<std::size_t>(row)] == 0) continue;
    int end = row + 1;
    while (end < store->height && impl->stale_rows[static_cast<std::size_t>(end)] != 0) ++end;
    copy_rows(store, 0, row, store->width, end - row, desktop_x, desktop_y + row);
    std::fill(impl->stale_rows.begin() + row, impl->stale_rows.begin() + end, 0);
    row = end;
  }
  return true;
}

void store_mark_stale(screen::PixelStore* store, int y, int h) {
  Store* impl = store_of(store);
  if (impl == nullptr) return;
  const int y0 = std::max(0, y);
  const int y1 = std::min(static_cast<int>(impl->stale_rows.size()), y + h);
  if (y0 < y1) std::fill(impl->stale_rows.begin() + y0, impl->stale_rows.begin() + y1, 1);
}

std::uint8_t* store_changed_rows(screen::PixelStore* store) {
  Store* impl = store_of(store);
  return impl != nullptr ? impl->changed_rows.data() : nullptr;
}

// The pointer is where the stream that saw it last says, in that stream's
// place on the desktop.
bool source_cursor(int* desktop_x, int* desktop_y, const screen::CursorImage** image) {
  *image = nullptr;
  if (!source_readable() || !g_source->cursor_metadata) return false;
  std::lock_guard<std::mutex> lock(g_source->frame_lock);
  const Stream* latest = nullptr;
  for (const auto& s : g_source->streams) {
    if (s->cursor_known && (latest == nullptr || s->cursor_moved > latest->cursor_moved)) latest = s.get();
  }
  if (latest == nullptr || !latest->cursor_visible) return false;
  if (!g_source->cursor_image_valid && g_source->cursor_copy.argb.empty()) {
    // Where the pointer is, without a picture of it yet (mutter sends none
    // until its cursor has a sprite): a clear 1 × 1 image, hot spot at its
    // corner, so the position is still recorded.
    g_source->cursor_copy = screen::CursorImage{1, 1, 0, 0, {0u}};
  }
  if (g_source->cursor_copy_serial != g_source->cursor_image_serial) {
    g_source->cursor_copy = g_source->cursor_image;  // capacity kept: no allocation once warm
    g_source->cursor_copy_serial = g_source->cursor_image_serial;
  }
  *desktop_x = latest->desktop_x + latest->cursor_x;
  *desktop_y = latest->desktop_y + latest->cursor_y;
  *image = &g_source->cursor_copy;
  return true;
}

bool source_lost() { return g_source != nullptr && g_source->lost.load(); }

}  // namespace

bool open_source(std::string* reason) {
  const screen::CaptureWishes& wishes = screen::capture_wishes();
  const char* token_value = wishes.whole_desktop ? kTokenValueAll : kTokenValue;
  portal::Request request;
  request.several_monitors = wishes.whole_desktop;
  request.cursor_painted = wishes.with_cursor;
  request.restore_token = read_token(token_value);

  auto source = std::make_unique<Source>();
  if (!portal::open_screencast(request, &source->session, reason)) return false;
  if (!source->session.restore_token.empty() && source->session.restore_token != request.restore_token) {
    keep_token(token_value, source->session.restore_token);
  }
  for (const portal::Stream& described : source->session.streams) {
    auto s = std::make_unique<Stream>();
    s->described = described;
    source->streams.push_back(std::move(s));
  }
  source->cursor_metadata = source->session.cursor_mode == portal::kCursorMetadata;
  g_source = source.get();
  if (!start_streams(source.get(), reason) || !wait_for_pictures(source.get(), reason)) {
    stop_streams(source.get());
    g_source = nullptr;
    return false;
  }
  if (!source->cursor_metadata) {
    std::fprintf(stderr,
                 "slotrec: the Wayland desktop does not say where the pointer is: every .meta "
                 "line gives x=\"0\" y=\"0\"\n");
  }
  source.release();  // lives as long as the process: PipeWire's thread uses it
  return true;
}

const screen::CaptureSource kPipeWireSource = {
    "PipeWire",     source_readable,  source_geometry,  store_create,
    store_destroy,  store_read,       store_update,     store_mark_stale,
    store_changed_rows, source_cursor, source_lost,
};

}  // namespace pipewire_screen
