#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/disk_pace.h"
#include "platform/paths.h"

namespace platform {

namespace {

struct FileSlot {
  std::atomic<FILE*> fp{nullptr};
  // one thread: maker, set at open before fp is stored
  FileMode mode = kFileInput;
};

// Index = file number; slot 0 is never handed out.
FileSlot g_slots[kMaxFileNumbers + 1];

FILE* Handle(int32_t n) {
  if (n < 1 || n > kMaxFileNumbers) return nullptr;
  return g_slots[n].fp.load(std::memory_order_acquire);
}

}  // namespace

// A write's open of a pipe without a reader, of a socket or of a device with
// nothing behind it fails with ENXIO: none is a regular file.
int32_t OpenFailure(int err) {
  if (err == ENOENT || err == ENOTDIR) return 2;
  if (err == EISDIR) return kOpenFolder;
  // Named, so the user looks at the mount or the rights, not at the free space.
  if (err == EROFS) return kOpenReadOnly;
  if (err == EACCES || err == EPERM) return kOpenNoPermission;
  return err == ENXIO ? kOpenNotRegular : 3;
}

namespace {

bool IsLineEnd(int c) { return c == '\n' || c == '\r'; }

// After a CR, a directly following LF belongs to the same line end.
void FinishLineEnd(FILE* f, int c) {
  if (c != '\r') return;
  int next = std::getc(f);
  if (next != '\n' && next != EOF) std::ungetc(next, f);
}

void AppendCapped(std::string& s, int c) {
  if (s.size() < kMaxItemLength) s += static_cast<char>(c);
}

// The file and the first character of a read: -19 for a file number that is
// not open, -17 at the end of the file (its end flag cleared for the next try).
int32_t StartRead(int32_t fileNumber, FILE*& f, int& c) {
  f = Handle(fileNumber);
  if (!f) return -19;
  c = std::getc(f);
  if (c == EOF) {
    std::clearerr(f);
    return -17;
  }
  return 0;
}

// A read ended at character c: the end flag cleared, a CR LF taken whole.
void EndRead(FILE* f, int c) {
  if (c == EOF) std::clearerr(f);
  FinishLineEnd(f, c);
}

}  // namespace

int32_t FreeFile() {
  for (int32_t n = 1; n <= kMaxFileNumbers; ++n) {
    if (!g_slots[n].fp.load(std::memory_order_acquire)) return n;
  }
  return 0;
}

int32_t FileOpen(int32_t fileNumber, const std::string& path, FileMode mode, FileAccess access) {
  if (fileNumber < 1 || fileNumber > kMaxFileNumbers) return 1;
  if (g_slots[fileNumber].fp.load(std::memory_order_acquire)) return 1;
  int flags = O_CLOEXEC;
  const char* fmode = nullptr;
  switch (mode) {
    case kFileInput:
      flags |= O_RDONLY;
      fmode = "rb";
      break;
    case kFileOutput:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      fmode = "wb";
      break;
    case kFileAppend:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      fmode = "ab";
      break;
    case kFileBinary:
      if (access == kAccessRead) {
        flags |= O_RDONLY;
        fmode = "rb";
      } else if (access == kAccessWrite) {
        flags |= O_WRONLY | O_CREAT;
        fmode = "wb";  // fdopen does not truncate
      } else if (access == kAccessReadWrite) {
        flags |= O_RDWR | O_CREAT;
        fmode = "r+b";
      } else {
        return 1;
      }
      break;
    default:
      return 1;
  }
  if (path.empty()) return 2;
  std::string osPath = ToOsPath(path);
  // Not blocking in the open: a named pipe would wait there for its other end.
  int fd = ::open(osPath.c_str(), flags | O_NONBLOCK, 0644);
  if (fd < 0) return OpenFailure(errno);
  // The refusal names what it found, so the user learns why a loader said no.
  struct stat st;
  int32_t refused = ::fstat(fd, &st) != 0 ? 3 : 0;
  if (refused == 0) {
    const bool reads = mode == kFileInput || (mode == kFileBinary && access != kAccessWrite);
    if (S_ISDIR(st.st_mode))
      refused = kOpenFolder;
    else if (reads ? !S_ISREG(st.st_mode) : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
      refused = kOpenNotRegular;
  }
  const int status = refused != 0 ? -1 : ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return refused != 0 ? refused : 3;
  }
  FILE* f = ::fdopen(fd, fmode);
  if (!f) {
    ::close(fd);
    return 3;
  }
  g_slots[fileNumber].mode = mode;
  FILE* expected = nullptr;
  if (!g_slots[fileNumber].fp.compare_exchange_strong(expected, f, std::memory_order_acq_rel)) {
    std::fclose(f);  // another thread took the number meanwhile
    return 1;
  }
  return 0;
}

int32_t FileClose(int32_t fileNumber) {
  if (fileNumber < 1 || fileNumber > kMaxFileNumbers) return -19;
  FILE* f = g_slots[fileNumber].fp.exchange(nullptr, std::memory_order_acq_rel);
  if (!f) return -19;
  // The last buffered bytes are written here: a full disk may only show now.
  const int32_t rc = std::fclose(f) == 0 ? 0 : -20;
  return rc;
}

void FileCloseAll() {
  for (int32_t n = 1; n <= kMaxFileNumbers; ++n) FileClose(n);
}

bool FileIsOpen(int32_t fileNumber) { return Handle(fileNumber) != nullptr; }

int64_t FileLengthOf(int32_t fileNumber) {
  FILE* f = Handle(fileNumber);
  if (!f) return -1;
  std::fflush(f);
  struct stat st;
  if (::fstat(::fileno(f), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool FileEof(int32_t fileNumber) {
  FILE* f = Handle(fileNumber);
  if (!f) return true;
  FileMode mode = g_slots[fileNumber].mode;
  if (mode == kFileBinary) {
    off_t pos = ::ftello(f);
    return pos < 0 || pos >= FileLengthOf(fileNumber);
  }
  if (mode != kFileInput) return true;
  int c = std::getc(f);
  if (c == EOF) {
    std::clearerr(f);
    return true;
  }
  std::ungetc(c, f);
  return false;
}

int64_t FilePosition(int32_t fileNumber) {
  FILE* f = Handle(fileNumber);
  if (!f) return 0;
  off_t pos = ::ftello(f);
  return pos < 0 ? 0 : static_cast<int64_t>(pos) + 1;
}

int32_t FileSeek(int32_t fileNumber, int64_t position) {
  FILE* f = Handle(fileNumber);
  if (!f || position < 1) return -19;
  return ::fseeko(f, static_cast<off_t>(position - 1), SEEK_SET) == 0 ? 0 : -19;
}

namespace {

// Moves to a position (0 = stay). A seek first writes what the stream still
// buffers, so its failure is either a bad position (-19) or a refused write
// (-20, a full disk among others).
int32_t SeekForTransfer(FILE* f, int64_t position) {
  errno = 0;
  int rc = position > 0 ? ::fseeko(f, static_cast<off_t>(position - 1), SEEK_SET)
                        : ::fseeko(f, 0, SEEK_CUR);
  if (rc == 0) return 0;
  const int err = errno;
  std::clearerr(f);
  return err == EINVAL || err == EOVERFLOW || err == ESPIPE || err == 0 ? -19 : -20;
}

}  // namespace

int32_t FileGet(int32_t fileNumber, int64_t position, void* buffer, size_t bytes, size_t* got) {
  if (got) *got = 0;
  FILE* f = Handle(fileNumber);
  if (!f || position < 0 || (bytes && !buffer)) return -19;
  // A seek also separates a read from a preceding write on the same stream.
  if (const int32_t rc = SeekForTransfer(f, position); rc != 0) return rc;
  size_t n = bytes ? std::fread(buffer, 1, bytes, f) : 0;
  bool failed = std::ferror(f) != 0;
  std::clearerr(f);
  if (n < bytes) std::memset(static_cast<char*>(buffer) + n, 0, bytes - n);
  if (got) *got = n;
  return failed ? -20 : 0;
}

int32_t FilePut(int32_t fileNumber, int64_t position, const void* buffer, size_t bytes) {
  FILE* f = Handle(fileNumber);
  if (!f || position < 0 || (bytes && !buffer)) return -19;
  if (const int32_t rc = SeekForTransfer(f, position); rc != 0) return rc;
  size_t n = bytes ? std::fwrite(buffer, 1, bytes, f) : 0;
  if (n != bytes) {
    std::clearerr(f);
    return -20;
  }
  return 0;
}

int32_t FileReadItem(int32_t fileNumber, std::string& item) {
  item.clear();
  FILE* f = nullptr;
  int c = EOF;
  if (const int32_t rc = StartRead(fileNumber, f, c); rc != 0) return rc;
  while (c == ' ' || c == '\t') c = std::getc(f);
  if (c == '"') {
    bool closed = false;
    while (true) {
      c = std::getc(f);
      if (c == EOF || IsLineEnd(c)) break;
      if (c == '"') {
        closed = true;
        break;
      }
      AppendCapped(item, c);
    }
    if (closed) {
      do c = std::getc(f);
      while (c != EOF && c != ',' && !IsLineEnd(c));
    }
  } else {
    while (c != EOF && c != ',' && !IsLineEnd(c)) {
      AppendCapped(item, c);
      c = std::getc(f);
    }
  }
  EndRead(f, c);
  return 0;
}

int32_t FileReadLine(int32_t fileNumber, std::string& line) {
  line.clear();
  FILE* f = nullptr;
  int c = EOF;
  if (const int32_t rc = StartRead(fileNumber, f, c); rc != 0) return rc;
  while (c != EOF && !IsLineEnd(c)) {
    AppendCapped(line, c);
    c = std::getc(f);
  }
  EndRead(f, c);
  return 0;
}

double ItemValue(const std::string& item) {
  size_t i = 0;
  const size_t n = item.size();
  while (i < n && (item[i] == ' ' || item[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (item[i] == '+' || item[i] == '-')) {
    negative = item[i] == '-';
    ++i;
  }
  // Only plain decimal numbers count: no "inf", "nan" or hexadecimal forms.
  size_t start = i;
  while (i < n && item[i] >= '0' && item[i] <= '9') ++i;
  size_t intDigits = i - start;
  size_t fracDigits = 0;
  if (i < n && item[i] == '.') {
    ++i;
    size_t f0 = i;
    while (i < n && item[i] >= '0' && item[i] <= '9') ++i;
    fracDigits = i - f0;
  }
  if (intDigits + fracDigits == 0) return 0.0;
  if (i < n && (item[i] == 'e' || item[i] == 'E')) {
    size_t e = i + 1;
    if (e < n && (item[e] == '+' || item[e] == '-')) ++e;
    size_t e0 = e;
    while (e < n && item[e] >= '0' && item[e] <= '9') ++e;
    if (e > e0) i = e;
  }
  // from_chars reads with the C rules whatever the process locale is.
  double value = 0.0;
  auto res = std::from_chars(item.data() + start, item.data() + i, value, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Tiny magnitudes read as 0, huge ones as the largest finite number: the
    // decimal exponent of the first significant digit tells which.
    int64_t magnitude = 0;
    bool seenDigit = false;
    size_t k = start;
    for (; k < i && item[k] != 'e' && item[k] != 'E'; ++k) {
      if (item[k] == '.') continue;
      bool beforePoint = k < start + intDigits;
      if (!seenDigit && item[k] != '0') {
        seenDigit = true;
        magnitude = beforePoint ? static_cast<int64_t>(start + intDigits - k) : -static_cast<int64_t>(k - start - intDigits - 1);
      }
    }
    if (k < i) {
      int64_t exponent = 0;
      size_t d = k + 1;
      bool negativeExponent = d < i && item[d] == '-';
      if (d < i && (item[d] == '+' || item[d] == '-')) ++d;
      for (; d < i && exponent < 100000; ++d) exponent = exponent * 10 + (item[d] - '0');
      magnitude += negativeExponent ? -exponent : exponent;
    }
    value = magnitude > 0 ? DBL_MAX : 0.0;
  } else if (res.ec != std::errc()) {
    return 0.0;
  }
  return negative ? -value : value;
}

int32_t FileWrite(int32_t fileNumber, const std::string& text) {
  FILE* f = Handle(fileNumber);
  if (!f) return -19;
  if (text.empty()) return 0;
  return std::fwrite(text.data(), 1, text.size(), f) == text.size() ? 0 : -20;
}

int32_t FileWriteLine(int32_t fileNumber, const std::string& text) {
  int32_t rc = FileWrite(fileNumber, text);
  return rc != 0 ? rc : FileWrite(fileNumber, "\r\n");
}

int32_t FileFlush(int32_t fileNumber) {
  FILE* f = Handle(fileNumber);
  if (!f) return -19;
  return std::fflush(f) == 0 ? 0 : -20;
}

namespace {

int32_t SyncFile(int32_t fileNumber, bool dataOnly) {
  FILE* f = Handle(fileNumber);
  if (!f) return -19;
  if (std::fflush(f) != 0) return -20;
  return SyncToDisk(::fileno(f), !dataOnly) == 0 ? 0 : -20;
}

}  // namespace

int32_t FileSync(int32_t fileNumber) { return SyncFile(fileNumber, false); }

int32_t FileSyncData(int32_t fileNumber) { return SyncFile(fileNumber, true); }

int32_t FileTruncate(int32_t fileNumber, int64_t length) {
  FILE* f = Handle(fileNumber);
  if (!f || length < 0) return -19;
  if (std::fflush(f) != 0) std::clearerr(f);
  return ::ftruncate(::fileno(f), static_cast<off_t>(length)) == 0 ? 0 : -20;
}

int32_t FileReadWhole(const std::string& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  if (path.empty()) return 2;
  // Not blocking in the open: a named pipe would wait there for its other end.
  const int fd = ::open(ToOsPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenFailure(errno);
  struct stat st;
  int32_t rc = ::fstat(fd, &st) != 0 ? 3 : S_ISDIR(st.st_mode) ? kOpenFolder : !S_ISREG(st.st_mode) ? kOpenNotRegular : 0;
  if (rc == 0) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    // A file cut short while it was read is no whole file.
    if (got != bytes.size()) rc = 3;
  }
  ::close(fd);
  if (rc != 0) bytes.clear();
  return rc;
}

int64_t FileModifiedTime(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(ToOsPath(path).c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtime);
}

int OpenForSync(const std::string& path) { return OpenDescriptor(path, O_RDONLY); }

int OpenDescriptor(const std::string& path, int flags) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  return ::open(ToOsPath(path).c_str(), flags | O_CLOEXEC);
}

}  // namespace platform
