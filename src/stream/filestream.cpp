// The 64-bit file streams: plain read/write/lseek/ftruncate on a descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "stream/stream.h"

namespace {

// Access bits of a mode as open flags; -1 for a mode that is refused.
int OpenFlags(uint16_t mode) {
  if (mode == fmCreate) return O_RDWR | O_CREAT | O_TRUNC;
  if ((mode & 0xF0) > fmShareDenyNone) return -1;
  switch (mode & 3) {
    case fmOpenRead: return O_RDONLY;
    case fmOpenWrite: return O_WRONLY;
    case fmOpenReadWrite: return O_RDWR;
    default: return -1;
  }
}

}  // namespace

bool TStreamEx::SetSize(int64_t, std::string&) { return true; }

bool THandleStreamEx::SetSize(int64_t NewSize, std::string& Error) {
  if (Seek(NewSize, soFromBeginning) < 0 || ::ftruncate(Handle, NewSize) != 0) {
    Error = std::strerror(errno);
    return false;
  }
  return true;
}

int32_t THandleStreamEx::Read(void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  ssize_t n;
  do n = ::read(Handle, Buffer, static_cast<size_t>(Count));
  while (n < 0 && errno == EINTR);
  if (n < 0) ReadError = errno;
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t THandleStreamEx::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  ssize_t n;
  do n = ::write(Handle, Buffer, static_cast<size_t>(Count));
  while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int64_t THandleStreamEx::Seek(int64_t Offset, uint16_t Origin) {
  int whence;
  switch (Origin) {
    case soFromBeginning: whence = SEEK_SET; break;
    case soFromCurrent: whence = SEEK_CUR; break;
    case soFromEnd: whence = SEEK_END; break;
    default: return -1;
  }
  static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");
  return ::lseek(Handle, static_cast<off_t>(Offset), whence);
}

namespace {
std::atomic<TSourceOpener> gSourceOpener{nullptr};
}  // namespace

void SetSourceOpener(TSourceOpener Opener) { gSourceOpener = Opener; }

int OpenSourceFile(const std::string& Path) {
  if (const TSourceOpener opener = gSourceOpener.load()) return opener(Path);
  int fd;
  do fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st {};
  int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP;
  if (error == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) return fd;
  if (error == 0) error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

std::unique_ptr<TFileStreamEx> TFileStreamEx::Open(const std::string& FileName, uint16_t Mode,
                                                   std::string& Error) {
  const char* verb = Mode == fmCreate ? "create" : "open";
  const int flags = OpenFlags(Mode);
  if (flags < 0) {
    Error = "Cannot " + std::string(verb) + " file \"" + FileName + "\". Invalid file mode";
    return nullptr;
  }
  int fd;
  if (flags == O_RDONLY) {
    fd = OpenSourceFile(FileName);
  } else {
    do fd = ::open(FileName.c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    Error = "Cannot " + std::string(verb) + " file \"" + FileName + "\". " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<TFileStreamEx>(new TFileStreamEx(fd));
}

TFileStreamEx::~TFileStreamEx() {
  if (Handle >= 0) ::close(Handle);
}
