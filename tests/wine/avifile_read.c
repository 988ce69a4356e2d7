/* Opens each AVI file named on the command line with Windows' own AVIFile
 * library and reads every frame of its video stream, as a Windows player or
 * editor does through the index. Prints one line per file:
 *   NAME: LENGTH frames, READ read
 * (LENGTH as AVIStreamLength gives it, READ the frames AVIStreamRead gave),
 * then "avifile: all files read" when every file opened and every frame of
 * its length was read, "avifile: failures" otherwise. */
#include <windows.h>
#include <vfw.h>

#include <stdio.h>
#include <stdlib.h>

static int ReadFile1(const char* name) {
  PAVIFILE file = NULL;
  PAVISTREAM stream = NULL;
  HRESULT r = AVIFileOpenA(&file, name, OF_READ | OF_SHARE_DENY_WRITE, NULL);
  if (r != 0) {
    printf("%s: AVIFileOpen failed (0x%08lx)\n", name, (unsigned long)r);
    return 0;
  }
  r = AVIFileGetStream(file, &stream, streamtypeVIDEO, 0);
  if (r != 0) {
    printf("%s: no video stream (0x%08lx)\n", name, (unsigned long)r);
    AVIFileRelease(file);
    return 0;
  }
  LONG start = AVIStreamStart(stream);
  LONG length = AVIStreamLength(stream);
  LONG read = 0;
  for (LONG sample = start; sample < start + length; ++sample) {
    LONG bytes = 0, samples = 0;
    if (AVIStreamRead(stream, sample, 1, NULL, 0, &bytes, &samples) != 0 || bytes <= 0) break;
    void* buffer = malloc((size_t)bytes);
    if (buffer == NULL) break;
    r = AVIStreamRead(stream, sample, 1, buffer, bytes, &bytes, &samples);
    free(buffer);
    if (r != 0 || samples != 1) break;
    ++read;
  }
  printf("%s: %ld frames, %ld read\n", name, (long)length, (long)read);
  AVIStreamRelease(stream);
  AVIFileRelease(file);
  return length >= 0 && read == length;
}

int main(int argc, char** argv) {
  int all = 1;
  AVIFileInit();
  for (int i = 1; i < argc; ++i) all = ReadFile1(argv[i]) && all;
  AVIFileExit();
  printf(all ? "avifile: all files read\n" : "avifile: failures\n");
  return all ? 0 : 1;
}
