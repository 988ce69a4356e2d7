/* Prints a program's application manifest, the RT_MANIFEST resource with
 * id 1 that Windows reads when it starts the program, byte for byte.
 *
 *   manifest_dump.exe PROGRAM
 *
 * Exits 1 when the program has no such resource. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: manifest_dump PROGRAM\n");
    return 2;
  }
  HMODULE program =
      LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (program == NULL) return 1;
  HRSRC resource = FindResourceA(program, MAKEINTRESOURCEA(CREATEPROCESS_MANIFEST_RESOURCE_ID),
                                 MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
  if (resource == NULL) return 1;
  HGLOBAL loaded = LoadResource(program, resource);
  const void* bytes = LockResource(loaded);
  DWORD size = SizeofResource(program, resource);
  if (bytes == NULL) return 1;
  _setmode(_fileno(stdout), _O_BINARY);
  fwrite(bytes, 1, size, stdout);
  return 0;
}
