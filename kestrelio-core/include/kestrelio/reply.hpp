#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kestrelio/io_error.hpp"
#include "kestrelio/meta.hpp"
#include "kestrelio/op.hpp"

namespace kestrelio {

namespace reply {

struct Handle {
  HandleId id;
  std::uint64_t size;
  std::int64_t fd;
};
struct Bytes {
  std::vector<std::uint8_t> data;
};
struct Read {
  std::size_t n;
};
struct Written {
  std::size_t n;
  std::uint64_t end;
};
struct Size {
  std::uint64_t size;
};
struct Unit {};
struct Stat {
  StatInfo info;
};
struct StatVfs {
  StatVfsInfo info;
};
// A directory listing; `kinds` and `inodes` are empty unless asked for.
struct Entries {
  std::vector<std::string> names;
  std::vector<EntryKind> kinds;
  std::vector<std::uint64_t> inodes;
};

}  // namespace reply

// The success value of a finished operation. The order of the alternatives is fixed.
using Reply = std::variant<reply::Handle, reply::Bytes, reply::Read, reply::Written, reply::Size, reply::Unit,
                           reply::Stat, reply::StatVfs, reply::Entries>;

// Appends the debug rendering used in error messages: "Handle { id: 1, size: 0, fd: 5 }",
// "Bytes([104, 105])", "Read { n: 10 }", "Written { n: 10, end: 110 }", "Size(4096)", "Unit",
// "Stat { mode: 33188, size: 10 }", "StatVfs { bsize: 4096 }", "Entries(3)".
void append_text(std::string& out, const Reply& r);
std::string to_text(const Reply& r);

// Either a Reply or an IoError.
class OpResult {
 public:
  OpResult(Reply r) : v_(std::in_place_index<0>, std::move(r)) {}
  OpResult(IoError e) : v_(std::in_place_index<1>, e) {}
  template <class R, class = decltype(Reply(std::declval<R>()))>
  OpResult(R r) : v_(std::in_place_index<0>, Reply(std::move(r))) {}

  bool ok() const noexcept { return v_.index() == 0; }
  Reply& reply() & { return std::get<0>(v_); }
  const Reply& reply() const& { return std::get<0>(v_); }
  Reply&& reply() && { return std::get<0>(std::move(v_)); }
  const IoError& error() const { return std::get<1>(v_); }

  // Convenience for tests and callers that expect one shape.
  template <class R>
  const R* get_if() const noexcept {
    return ok() ? std::get_if<R>(&std::get<0>(v_)) : nullptr;
  }

 private:
  std::variant<Reply, IoError> v_;
};

}  // namespace kestrelio
