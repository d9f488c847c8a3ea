/* A library preloaded into a program under test: it writes one line to the file that
 * SYNC_TRACE names each time the program flushes a file whose name ends in -wal
 * (fsync or fdatasync), so that a test can see that a commit reached the disk before
 * the program went on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void note(int fd) {
  char link[64];
  char name[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, name, sizeof name - 1);
  const char* log = getenv("SYNC_TRACE");
  if (length < 4 || log == NULL || memcmp(name + length - 4, "-wal", 4) != 0) return;
  const int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (out < 0) return;
  name[length] = '\n';
  ssize_t ignored = write(out, name, (size_t)length + 1);
  (void)ignored;
  close(out);
}

int fsync(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  const int result = real(fd);
  if (result == 0) note(fd);
  return result;
}

int fdatasync(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  const int result = real(fd);
  if (result == 0) note(fd);
  return result;
}
