#include "run/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orna::cli::run {

namespace {

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file, created exclusively beside `path` (the same folder, so that a
// rename can put it in place); -1 with errno set when none can be made.
int CreateBeside(const std::string& path, std::string* name) {
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string dir = Folder(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = (dir == "/" ? "" : dir) + "/." + base + ".tmp" + std::to_string(getpid()) + "-" +
            std::to_string(counter++);
    const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* out, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return *why = std::strerror(errno), false;
  out->clear();
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) *why = std::strerror(errno);
  else if (S_ISDIR(st.st_mode)) ok = false, *why = "it is a folder";
  else if (!S_ISREG(st.st_mode)) ok = false, *why = "it is not a regular file (a device, FIFO or socket)";
  char buf[65536];
  while (ok && out->size() <= limit) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false, *why = std::strerror(errno);
    if (n <= 0) break;
    out->append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (ok && out->size() > limit)
    ok = false, *why = "it is larger than " + std::to_string(limit / 1024) + " KiB";
  return ok;
}

bool CheckOutput(const std::string& path, std::string* target, std::string* why) {
  std::string file = path;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      char* real = ::realpath(path.c_str(), nullptr);
      if (!real || ::stat(real, &st) != 0) {
        std::free(real);
        return *why = "it is a symbolic link to nothing", false;
      }
      file = real;
      std::free(real);
    }
    if (S_ISDIR(st.st_mode)) return *why = "it is a folder", false;
    if (!S_ISREG(st.st_mode)) return *why = "it is not a regular file (a device, FIFO or socket)", false;
    const int fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return *why = std::strerror(errno), false;
    ::close(fd);
  } else if (errno != ENOENT) {
    return *why = std::strerror(errno), false;
  }
  // The report is written beside its target first: the folder must take new files.
  std::string probe;
  const int fd = CreateBeside(file, &probe);
  if (fd < 0) return *why = "cannot create files in " + Folder(file) + ": " + std::strerror(errno), false;
  ::close(fd);
  ::unlink(probe.c_str());
  *target = file;
  return true;
}

bool ReplaceFile(const std::string& path, const std::string& data) {
  std::string temp;
  const int fd = CreateBeside(path, &temp);
  if (fd < 0) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd, st.st_mode & 07777);
  bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
  int e = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) ok = false, e = errno;
  if (ok) {
    if (::rename(temp.c_str(), path.c_str()) == 0) {
      // The rename itself on the disk too.
      const int dir = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
      }
      return true;
    }
    e = errno;
  }
  ::unlink(temp.c_str());
  errno = e;
  return false;
}

}  // namespace orna::cli::run
