#pragma once

// Shared by the cold benchmarks of this directory.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Drops the file's pages; the count still resident afterwards.
inline std::size_t evict(const std::string& path, std::size_t size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("open");
    std::exit(1);
  }
  ::fsync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    std::perror("mmap");
    std::exit(1);
  }
  constexpr std::size_t kPage = 4096;
  std::size_t pages = (size + kPage - 1) / kPage;
  std::vector<unsigned char> vec(pages);
  if (::mincore(map, size, vec.data()) != 0) {
    std::perror("mincore");
    std::exit(1);
  }
  ::munmap(map, size);
  ::close(fd);
  return static_cast<std::size_t>(std::count_if(vec.begin(), vec.end(), [](unsigned char b) { return b & 1; }));
}
