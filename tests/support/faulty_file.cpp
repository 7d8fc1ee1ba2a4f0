#include "support/faulty_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace tarnwick::testing {

namespace {

struct Cookie {
  int fd;
  off64_t pos;
  FaultPlan* plan;
};

ssize_t cookie_read(void* c, char* buf, size_t size) {
  auto* cookie = static_cast<Cookie*>(c);
  const ssize_t n = pread(cookie->fd, buf, size, cookie->pos);
  if (n > 0) cookie->pos += n;
  return n;
}

ssize_t cookie_write(void* c, const char* buf, size_t size) {
  auto* cookie = static_cast<Cookie*>(c);
  ++cookie->plan->writes;
  const std::uint64_t pos = static_cast<std::uint64_t>(cookie->pos);
  const std::uint64_t limit = cookie->plan->write_limit;
  const size_t allowed =
      pos >= limit ? 0 : static_cast<size_t>(std::min<std::uint64_t>(size, limit - pos));
  // A refused write reports no progress, as write(2) to a full file would leave it; the stream
  // sees the short count. (-1 from a cookie makes stdio report the whole count as written.)
  if (allowed == 0) return 0;
  const ssize_t n = pwrite(cookie->fd, buf, allowed, cookie->pos);
  if (n > 0) cookie->pos += n;
  return n;
}

int cookie_seek(void* c, off64_t* offset, int whence) {
  auto* cookie = static_cast<Cookie*>(c);
  if (cookie->plan->seeks++ == cookie->plan->fail_seek_number) return -1;
  off64_t base = 0;
  if (whence == SEEK_CUR) base = cookie->pos;
  if (whence == SEEK_END) base = lseek(cookie->fd, 0, SEEK_END);
  cookie->pos = base + *offset;
  *offset = cookie->pos;
  return 0;
}

int cookie_close(void* c) {
  auto* cookie = static_cast<Cookie*>(c);
  const int result = close(cookie->fd);
  delete cookie;
  return result;
}

}  // namespace

std::FILE* open_faulty(const std::string& path, FaultPlan& plan) {
  const int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return nullptr;
  auto* cookie = new Cookie{fd, 0, &plan};
  std::FILE* stream =
      fopencookie(cookie, "r+", {cookie_read, cookie_write, cookie_seek, cookie_close});
  if (stream == nullptr) {
    close(fd);
    delete cookie;
    return nullptr;
  }
  std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

}  // namespace tarnwick::testing
