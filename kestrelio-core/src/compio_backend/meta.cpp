#include "compio_backend/meta.hpp"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <type_traits>
#include <utility>
#include <variant>

#include "meta_blocking.hpp"
#include "runtime/blocking.hpp"
#include "runtime/meta.hpp"

namespace kestrelio::compio_backend {

namespace {

using runtime::Task;

inline constexpr const char* kAdoptAllocatesId = "adopt allocates an id";

StatInfo stat_info(const struct statx& x) {
  StatInfo i;
  i.mode = x.stx_mode;
  i.ino = x.stx_ino;
  i.dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  i.nlink = x.stx_nlink;
  i.uid = x.stx_uid;
  i.gid = x.stx_gid;
  i.size = static_cast<std::int64_t>(x.stx_size);
  i.atime_sec = x.stx_atime.tv_sec;
  i.atime_nsec = x.stx_atime.tv_nsec;
  i.mtime_sec = x.stx_mtime.tv_sec;
  i.mtime_nsec = x.stx_mtime.tv_nsec;
  i.ctime_sec = x.stx_ctime.tv_sec;
  i.ctime_nsec = x.stx_ctime.tv_nsec;
  i.blksize = x.stx_blksize;
  i.blocks = static_cast<std::int64_t>(x.stx_blocks);
  i.rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
  return i;
}

OpResult unit_of(const Expected<std::monostate>& s) {
  if (!s) return s.error();
  return reply::Unit{};
}

Task<OpResult> on_pool(MetaOp op) {
  // Named first: a lambda passed as a temporary to the coroutine would be
  // destroyed twice by g++ 12.
  auto job = [op = std::move(op)]() { return run_meta_blocking(op); };
  auto r = co_await runtime::spawn_blocking(std::move(job));
  if (!r.completed || !r.value) co_return IoError::custom(IoErrorKind::Other, kMetaNotRun);
  co_return std::move(*r.value);
}

Task<OpResult> stat(meta::Stat s) {
  int dir = dir_of(s.target);
  int flags = s.follow_symlinks ? 0 : AT_SYMLINK_NOFOLLOW;
  if (s.target.fd) {
    // The descriptor itself: an empty path from it.
    dir = *s.target.fd;
    flags = AT_EMPTY_PATH;
    s.target.path.clear();
  }
  Expected<struct statx> x = co_await runtime::stat_at(dir, std::move(s.target.path), flags);
  if (!x) co_return x.error();
  co_return reply::Stat{stat_info(x.value())};
}

}  // namespace

Task<OpResult> execute_meta(MetaOp op) {
  if (auto bad = check_paths(op)) co_return *bad;
  if (auto* s = std::get_if<meta::Stat>(&op)) co_return co_await stat(std::move(*s));
  if (auto* r = std::get_if<meta::Rename>(&op)) {
    co_return unit_of(
        co_await runtime::rename_at(dir_of(r->from), std::move(r->from.path), dir_of(r->to), std::move(r->to.path)));
  }
  if (auto* r = std::get_if<meta::Remove>(&op)) {
    co_return unit_of(
        co_await runtime::unlink_at(dir_of(r->target), std::move(r->target.path), r->directory ? AT_REMOVEDIR : 0));
  }
  if (auto* m = std::get_if<meta::MakeDir>(&op)) {
    co_return unit_of(
        co_await runtime::mkdir_at(dir_of(m->target), std::move(m->target.path), static_cast<mode_t>(m->mode)));
  }
  if (auto* l = std::get_if<meta::Symlink>(&op)) {
    co_return unit_of(co_await runtime::symlink_at(std::move(l->contents), dir_of(l->link), std::move(l->link.path)));
  }
  if (auto* l = std::get_if<meta::Link>(&op)) {
    co_return unit_of(co_await runtime::link_at(dir_of(l->from), std::move(l->from.path), dir_of(l->to),
                                                std::move(l->to.path), l->follow_symlinks ? AT_SYMLINK_FOLLOW : 0));
  }
  // No opcode for these: one pool job each, a whole listing included.
  co_return co_await on_pool(std::move(op));
}

Task<OpResult> adopt(std::optional<HandleId> new_handle, op::Adopt a, Files files) {
  // Borrowed while checking, so a failure leaves the caller's descriptor open.
  runtime::File probe(runtime::UniqueFd::borrowed(a.fd));
  auto size = co_await runtime::file_size(probe);
  if (!size) co_return size.error();
  if (!new_handle) throw InvariantFault{kAdoptAllocatesId};
  runtime::File file(a.close_on_release ? runtime::UniqueFd(a.fd) : runtime::UniqueFd::borrowed(a.fd));
  files->insert_or_assign(*new_handle, std::move(file));
  co_return reply::Handle{*new_handle, size.value(), a.fd};
}

}  // namespace kestrelio::compio_backend
