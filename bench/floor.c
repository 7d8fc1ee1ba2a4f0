/* The floor of a relabel: a process that opens the image, writes the blocks a relabel writes
 * at the same places and syncs where it syncs, with no parsing or checking. Each block is read
 * back first and written as it is, so that the image stays a volume (a read from the page
 * cache: microseconds).
 *   floor IMAGE OFFSET:LENGTH... sync OFFSET:LENGTH... sync
 * Built statically, like the tool, so that both start alike. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char block[32768];

int main(int argc, char** argv) {
  int fd = open(argv[1], O_RDWR);
  if (fd < 0) return 1;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "sync") == 0) {
      if (fdatasync(fd) != 0) return 1;
      continue;
    }
    char* colon = strchr(argv[i], ':');
    if (colon == NULL) return 2;
    off_t offset = strtoll(argv[i], NULL, 10);
    size_t length = strtoul(colon + 1, NULL, 10);
    if (length > sizeof block || pread(fd, block, length, offset) != (ssize_t)length ||
        pwrite(fd, block, length, offset) != (ssize_t)length)
      return 1;
  }
  return close(fd) == 0 ? 0 : 1;
}
