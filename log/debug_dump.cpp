// The console command that writes the connection history and the stored
// trace lines to the dump file. The dump file sits at a fixed, guessable
// path in a shared directory and the process may run as root, so it is
// opened without following links and checked on the descriptor before
// anything is truncated.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdio_ext.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm_rms/debug_dump.h"
#include "log/cancellation_deferred.h"
#include "log/comm_rms_ucom_log.h"
#include "log/dump_layout.h"

namespace vantorel {

namespace {

constexpr size_t kStdioBuffer = size_t{64} * 1024;

class descriptor {
 public:
  explicit descriptor(int fd) : fd_(fd) {}
  ~descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

struct file_closer {
  void operator()(FILE* file) const {
    std::fflush(file);
    std::fclose(file);
  }
};
using file_handle = std::unique_ptr<FILE, file_closer>;

// The directory itself, not a symlink in its place (the last component is not
// followed). Its mode and owner are not asked: a shared 0777 directory is
// fine, as every check that makes a planted entry harmless is on the file.
int open_directory(const char* directory) {
  std::string path(directory);
  // A trailing slash would make the kernel follow a symlinked last component.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens the dump file for writing from its start, or null. Nothing is
// truncated until the descriptor is known to be our own plain file: a
// planted hard link keeps its content, a FIFO neither blocks nor is used.
FILE* open_dump_file(const char* directory) {
  descriptor dir(open_directory(directory));
  if (dir.get() < 0) return nullptr;
  descriptor fd(::openat(dir.get(), debug_dump::file_name,
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (fd.get() < 0) return nullptr;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      st.st_uid != ::geteuid()) {
    return nullptr;
  }
  if (::ftruncate(fd.get(), 0) != 0) return nullptr;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  FILE* file = ::fdopen(fd.get(), "w+");
  if (file == nullptr) return nullptr;
  fd.release();
  return file;
}

}  // namespace

int comm_rms_ucom_log::ucom_usr_command(char* command) {
  if (command == nullptr || std::strcmp(command, debug_dump::command) != 0) return 0;
  // A dump holds the library's locks while it writes a file.
  const cancellation_deferred whole_dump;
  std::lock_guard<std::mutex> one_dump(dump_mtx_);

  // Declared before the file so that it outlives the stream that uses it.
  std::unique_ptr<char[]> stdio_buffer(new char[kStdioBuffer]);
  file_handle file(open_dump_file(debug_dump::directory));
  if (!file) {
    std::printf("File Open ERROR. %s\n", debug_dump::path);
    return -1;
  }
  std::setvbuf(file.get(), stdio_buffer.get(), _IOFBF, kStdioBuffer);
  // Only this call uses the stream, so stdio need not lock it for each line.
  __fsetlocking(file.get(), FSETLOCKING_BYCALLER);

  output_information_log_(file.get());
  dump_layout::write_heading(file.get(), dump_layout::log_title);

  // Only this call writes the file, so the position is counted, not asked.
  long long position = std::ftell(file.get());
  std::vector<unsigned char> entry;
  for (;;) {
    // One entry per hold: a tracing thread waits for one write at most.
    OSW_Guard lock(buffer_mtx_);
    if (ring_buffer_.pop_data(entry) != 0) break;
    // An entry pushed without its NUL is bounded by its size.
    const size_t length =
        entry.empty() ? 0 : strnlen(reinterpret_cast<const char*>(entry.data()), entry.size());
    if (position + static_cast<long long>(length) > debug_dump::size_limit) break;
    // The line's newline takes the place of its NUL: one write per line.
    entry.resize(length);
    entry.push_back('\n');
    std::fwrite(entry.data(), 1, entry.size(), file.get());
    position += static_cast<long long>(entry.size());
  }
  return 0;
}

}  // namespace vantorel
