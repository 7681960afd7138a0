#include "runtime/meta.hpp"

#include <cerrno>
#include <memory>
#include <utility>

namespace kestrelio::runtime {

namespace {

std::shared_ptr<OpState> name_op(OpKind kind, int dir_fd, std::string path) {
  auto op = std::make_shared<OpState>(kind);
  op->dir_fd = dir_fd;
  op->path = std::move(path);
  return op;
}

Task<Status> run_status(std::shared_ptr<OpState> op) {
  std::int64_t res = co_await OpAwaiter(op);
  if (res < 0) co_return IoError::os(static_cast<int>(-res));
  co_return std::monostate{};
}

}  // namespace

Task<Expected<struct statx>> stat_at(int dir_fd, std::string path, int at_flags) {
  for (;;) {
    auto op = name_op(OpKind::StatAt, dir_fd, path);
    op->at_flags = at_flags;
    std::int64_t res = co_await OpAwaiter(op);
    if (res == -EINTR) continue;
    if (res < 0) co_return IoError::os(static_cast<int>(-res));
    co_return op->stx;
  }
}

Task<Status> rename_at(int from_dir, std::string from, int to_dir, std::string to) {
  auto op = name_op(OpKind::RenameAt, from_dir, std::move(from));
  op->dir_fd2 = to_dir;
  op->path2 = std::move(to);
  return run_status(std::move(op));
}

Task<Status> unlink_at(int dir_fd, std::string path, int at_flags) {
  auto op = name_op(OpKind::UnlinkAt, dir_fd, std::move(path));
  op->at_flags = at_flags;
  return run_status(std::move(op));
}

Task<Status> mkdir_at(int dir_fd, std::string path, mode_t mode) {
  auto op = name_op(OpKind::MkdirAt, dir_fd, std::move(path));
  op->mode = mode;
  return run_status(std::move(op));
}

Task<Status> symlink_at(std::string contents, int dir_fd, std::string path) {
  auto op = name_op(OpKind::SymlinkAt, dir_fd, std::move(path));
  op->path2 = std::move(contents);
  return run_status(std::move(op));
}

Task<Status> link_at(int from_dir, std::string from, int to_dir, std::string to, int at_flags) {
  auto op = name_op(OpKind::LinkAt, from_dir, std::move(from));
  op->dir_fd2 = to_dir;
  op->path2 = std::move(to);
  op->at_flags = at_flags;
  return run_status(std::move(op));
}

}  // namespace kestrelio::runtime
