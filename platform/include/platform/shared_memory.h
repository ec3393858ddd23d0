#pragma once

#include <cstdint>
#include <string>

namespace kestrane::platform {

// A named block of memory shared between processes (POSIX shared memory).
// The process that creates the block zeroes it; later openers see what
// earlier ones wrote.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory() { close(); }
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Closes what was open, then opens the block `name` (creating it when it
  // does not exist) and maps `size` bytes. False for an empty name, size 0 or
  // a system failure, which is printed.
  bool open(uint64_t size, const std::string& name);
  void close();

  void* view() const { return view_; }
  uint64_t size() const { return size_; }
  const std::string& name() const { return name_; }
  bool created() const { return created_; }

  // Removes the name from the system; mappings stay valid until closed.
  static bool unlink(const std::string& name);

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  void* view_ = nullptr;
  std::string name_;
  bool created_ = false;
};

}  // namespace kestrane::platform
