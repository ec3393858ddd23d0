#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrane::platform {

namespace {

std::string posixName(const std::string& name) { return name[0] == '/' ? name : "/" + name; }

void printError(const char* text) {
  std::printf("%s", text);
  std::fflush(stdout);
}

}  // namespace

bool SharedMemory::open(uint64_t size, const std::string& name) {
  close();
  if (name.empty() || size == 0 || size > static_cast<uint64_t>(INT64_MAX)) return false;
  const std::string path = posixName(name);
  bool created = false;
  int fd = shm_open(path.c_str(), O_RDWR, 0666);
  if (fd < 0 && errno == ENOENT) {
    fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      created = true;
    } else if (errno == EEXIST) {
      fd = shm_open(path.c_str(), O_RDWR, 0666);  // another process was quicker
    }
  }
  if (fd < 0) {
    printError("*E: Can't create shared memory!\n");
    return false;
  }
  // A block smaller than asked for would fault on access past its end: grow it.
  struct stat st {};
  if (fstat(fd, &st) != 0 ||
      (static_cast<uint64_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0)) {
    ::close(fd);
    if (created) shm_unlink(path.c_str());
    printError("*E: Can't create shared memory!\n");
    return false;
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    ::close(fd);
    printError("*E: Can't mapping shared memory!\n");
    return false;
  }
  fd_ = fd;
  size_ = size;
  view_ = view;
  name_ = name;
  created_ = created;
  if (created_) std::memset(view_, 0, size_);
  return true;
}

void SharedMemory::close() {
  if (view_) munmap(view_, size_);
  if (fd_ >= 0) ::close(fd_);
  view_ = nullptr;
  fd_ = -1;
  size_ = 0;
}

bool SharedMemory::unlink(const std::string& name) {
  return !name.empty() && shm_unlink(posixName(name).c_str()) == 0;
}

}  // namespace kestrane::platform
