/* A screen in full motion for the whole-run benchmark: a window over the
 * whole screen shows a new desktop-like picture every frame (panels, lines
 * of "text", a gradient, laid out anew each time), so every macroblock of
 * every frame changes and no motion search finds it elsewhere. Every frame
 * is thus as hard to code as the next, and what a recording costs does not
 * depend on which of these frames it happens to catch (a picture that
 * scrolls costs a recorder more or less by how far it moved between two of
 * its frames, which changes with their phase from run to run). The frames
 * are drawn once into server pixmaps; showing one is an XCopyArea inside
 * the server, so this program costs next to nothing and the server's share
 * is the same whoever records.
 *
 *   motion_screen [fps] [frames]     (30 frames per second, 60 frames;
 *                                     DISPLAY names the server)
 *
 * Prints "ready" on standard output once the first frame is up, and runs
 * until killed. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static uint32_t mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

/* Pixel (x, y) of frame k: panels 240 pixels wide, lines of "text" 12
 * pixels high whose glyphs are drawn from a hash, a diagonal gradient. */
static uint32_t texel(int x, int y, int k) {
  int panel = (x / 240 + k) % 4;
  int base = 200 - panel * 40;
  int glyph = (int)(mix((uint32_t)((y / 12) * 4099 + x / 6 + k * 7919)) & 7);
  int ink = (mix((uint32_t)(x * 31 + y * 17 + k)) & 3) != 0;
  int text = (y % 24) < 12 && glyph < 3 && ink && x % 240 > 20;
  int shade = (x + y + 13 * k) / 16 % 32;
  if (text) return 0x141414;
  return (uint32_t)((base + 30 - shade) & 0xff) << 16 | (uint32_t)((base - 20 + shade) & 0xff) << 8 |
         (uint32_t)((base + shade) & 0xff);
}

int main(int argc, char** argv) {
  int fps = argc > 1 ? atoi(argv[1]) : 30;
  int count = argc > 2 ? atoi(argv[2]) : 60;
  if (fps <= 0 || count <= 0) return 2;
  Display* dpy = XOpenDisplay(NULL);
  if (dpy == NULL) {
    fprintf(stderr, "motion_screen: no display\n");
    return 1;
  }
  int screen = DefaultScreen(dpy);
  int width = DisplayWidth(dpy, screen);
  int height = DisplayHeight(dpy, screen);
  int depth = DefaultDepth(dpy, screen);
  Window root = RootWindow(dpy, screen);
  XSetWindowAttributes attributes;
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(dpy, screen);
  Window window = XCreateWindow(dpy, root, 0, 0, (unsigned)width, (unsigned)height, 0, depth, InputOutput,
                                DefaultVisual(dpy, screen), CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(dpy, window);
  GC gc = XCreateGC(dpy, window, 0, NULL);

  char* pixels = malloc((size_t)width * (size_t)height * 4);
  if (pixels == NULL) return 1;
  XImage* image = XCreateImage(dpy, DefaultVisual(dpy, screen), (unsigned)depth, ZPixmap, 0, pixels,
                               (unsigned)width, (unsigned)height, 32, 0);
  Pixmap* frames = calloc((size_t)count, sizeof *frames);
  for (int k = 0; k < count; ++k) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) XPutPixel(image, x, y, texel(x, y, k));
    frames[k] = XCreatePixmap(dpy, window, (unsigned)width, (unsigned)height, (unsigned)depth);
    XPutImage(dpy, frames[k], gc, image, 0, 0, 0, 0, (unsigned)width, (unsigned)height);
    XSync(dpy, False);
  }
  XDestroyImage(image);

  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  long interval_ns = 1000000000L / fps;
  for (long n = 0;; ++n) {
    XCopyArea(dpy, frames[n % count], window, gc, 0, 0, (unsigned)width, (unsigned)height, 0, 0);
    XSync(dpy, False);
    if (n == 0) {
      printf("ready\n");
      fflush(stdout);
    }
    next.tv_nsec += interval_ns;
    while (next.tv_nsec >= 1000000000L) {
      next.tv_nsec -= 1000000000L;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
  }
}
