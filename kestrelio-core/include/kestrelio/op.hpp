#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kestrelio/meta.hpp"

namespace kestrelio {

// Operation number from the Driver's counter, starting at 1.
using OpId = std::uint64_t;
// Number of an open file in a backend's table, starting at 1, never reused.
using HandleId = std::uint64_t;

// The data of a write: a vector it owns, or a view of memory the submitter
// keeps alive and unchanged until the reply has been delivered. Backends read
// it only through data()/size() and treat both forms alike.
class Payload {
 public:
  Payload() = default;
  static Payload owned(std::vector<std::uint8_t> bytes) {
    Payload p;
    p.owned_ = std::move(bytes);
    p.is_owned_ = true;
    return p;
  }
  static Payload raw(const std::uint8_t* ptr, std::size_t len) {
    Payload p;
    p.ptr_ = ptr;
    p.len_ = len;
    return p;
  }

  Payload(Payload&& o) noexcept : owned_(std::move(o.owned_)), ptr_(o.ptr_), len_(o.len_), is_owned_(o.is_owned_) {
    o.clear_view();
  }
  Payload& operator=(Payload&& o) noexcept {
    owned_ = std::move(o.owned_);
    ptr_ = o.ptr_;
    len_ = o.len_;
    is_owned_ = o.is_owned_;
    o.clear_view();
    return *this;
  }
  Payload(const Payload&) = delete;
  Payload& operator=(const Payload&) = delete;

  const std::uint8_t* data() const noexcept { return is_owned_ ? owned_.data() : ptr_; }
  std::size_t size() const noexcept { return is_owned_ ? owned_.size() : len_; }
  bool empty() const noexcept { return size() == 0; }
  bool is_owned() const noexcept { return is_owned_; }

 private:
  void clear_view() noexcept {
    ptr_ = nullptr;
    len_ = 0;
    is_owned_ = false;
  }
  std::vector<std::uint8_t> owned_;
  const std::uint8_t* ptr_ = nullptr;
  std::size_t len_ = 0;
  bool is_owned_ = false;
};

// The target of a Read: `Owned` asks the backend to allocate `len` bytes and
// reply Bytes; `Raw` is caller memory of `len` bytes, answered with Read{n}.
struct ReadBuf {
  static ReadBuf owned(std::size_t len) noexcept { return ReadBuf{true, nullptr, len}; }
  static ReadBuf raw(std::uint8_t* ptr, std::size_t len) noexcept { return ReadBuf{false, ptr, len}; }

  bool is_owned;
  std::uint8_t* ptr;
  std::size_t len;
};

namespace op {

struct Open {
  bool read = false;
  bool write = false;
  bool append = false;
  bool truncate = false;
  bool create = false;
  bool create_new = false;
  std::string path;  // owned byte string; may hold a NUL, which the backend rejects
};
struct Read {
  HandleId handle;
  std::uint64_t pos;
  ReadBuf buf;
};
struct ReadToEnd {
  HandleId handle;
  std::uint64_t pos;
};
struct Write {
  bool append;
  HandleId handle;
  std::uint64_t pos;
  Payload data;
};
struct Close {
  HandleId handle;
};
struct Sync {
  bool data_only;
  HandleId handle;
};
struct SetLen {
  HandleId handle;
  std::uint64_t len;
};
struct Size {
  HandleId handle;
};
struct ReadFile {
  std::uint64_t inline_max;
  std::string path;
};
struct WriteFile {
  Payload data;
  std::string path;
};
struct Nop {};
// Enters a descriptor the caller already has into the file table. Without
// `close_on_release` the caller keeps it: Close only forgets it.
struct Adopt {
  std::int32_t fd;
  bool close_on_release;
};
// A metadata operation; see meta.hpp.
struct Meta {
  MetaOp what;
};

}  // namespace op

// One requested file operation. The order of the alternatives is fixed.
using Op = std::variant<op::Open, op::Read, op::ReadToEnd, op::Write, op::Close, op::Sync, op::SetLen, op::Size,
                        op::ReadFile, op::WriteFile, op::Nop, op::Adopt, op::Meta>;

}  // namespace kestrelio
