#include "os_ops.hpp"

#include <string>
#include <utility>

#include "args.hpp"
#include "pending_release.hpp"
#include "py_ref.hpp"
#include "submit.hpp"

namespace kestrelio::py {

namespace {

constexpr const char* kAdoptNames[] = {"fd", "close_on_release"};
constexpr const char* kStatNames[] = {"path", "dir_fd", "follow_symlinks"};
constexpr const char* kPathNames[] = {"path"};
constexpr const char* kPathDirNames[] = {"path", "dir_fd"};
constexpr const char* kTwoPathNames[] = {"src", "dst", "src_dir_fd", "dst_dir_fd"};
constexpr const char* kMkdirNames[] = {"path", "mode", "dir_fd"};
constexpr const char* kLinkNames[] = {"src", "dst", "src_dir_fd", "dst_dir_fd", "follow_symlinks"};
constexpr const char* kSymlinkNames[] = {"src", "dst", "dir_fd"};
constexpr const char* kAccessNames[] = {"path", "mode", "dir_fd", "effective_ids", "follow_symlinks"};
constexpr const char* kSendfileNames[] = {"out_fd", "in_fd", "offset", "count"};

// None, or a descriptor number.
bool to_opt_fd(PyObject* o, const char* name, std::optional<std::int32_t>* out) {
  if (o == Py_None) {
    out->reset();
    return true;
  }
  std::int32_t fd;
  if (!to_i32(o, name, &fd)) return false;
  *out = fd;
  return true;
}

// A path (str, bytes, os.PathLike) looked up from `dir_fd`; with `allow_fd`
// an int names an open descriptor instead.
bool to_target(PyObject* path, PyObject* dir_fd, const char* name, bool allow_fd, meta::Target* out) {
  if (allow_fd && PyLong_Check(path)) {
    std::int32_t fd;
    if (!to_i32(path, name, &fd)) return false;
    out->fd = fd;
    return true;
  }
  if (!to_path(path, name, &out->path)) return false;
  return !dir_fd || to_opt_fd(dir_fd, "dir_fd", &out->dir_fd);
}

PyObject* submit_meta(MetaOp m) { return submit(op::Meta{std::move(m)}, CompletionKind::plain(), std::nullopt); }

PyObject* py_adopt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"adopt", kAdoptNames, 2, 2};
  PyObject* a[2];
  op::Adopt o{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_i32(a[0], "fd", &o.fd) ||
      !to_flag(a[1], "close_on_release", &o.close_on_release))
    return nullptr;
  return submit(o, CompletionKind::plain(), std::nullopt);
}

PyObject* py_stat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"stat", kStatNames, 3, 3};
  PyObject* a[3];
  meta::Stat s;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_target(a[0], a[1], "path", true, &s.target) ||
      !to_flag(a[2], "follow_symlinks", &s.follow_symlinks))
    return nullptr;
  return submit_meta(std::move(s));
}

PyObject* py_statvfs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"statvfs", kPathNames, 1, 1};
  PyObject* a[1];
  meta::StatVfs s;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_target(a[0], nullptr, "path", true, &s.target)) return nullptr;
  return submit_meta(std::move(s));
}

PyObject* py_rename(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"rename", kTwoPathNames, 4, 4};
  PyObject* a[4];
  meta::Rename r;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_path(a[0], "src", &r.from.path) ||
      !to_path(a[1], "dst", &r.to.path) || !to_opt_fd(a[2], "src_dir_fd", &r.from.dir_fd) ||
      !to_opt_fd(a[3], "dst_dir_fd", &r.to.dir_fd))
    return nullptr;
  return submit_meta(std::move(r));
}

PyObject* remove_entry(const char* function, bool directory, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  apply_pending_releases();
  const Signature sig{function, kPathDirNames, 2, 2};
  PyObject* a[2];
  meta::Remove r;
  r.directory = directory;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_target(a[0], a[1], "path", false, &r.target)) return nullptr;
  return submit_meta(std::move(r));
}

PyObject* py_unlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return remove_entry("unlink", false, args, nargs, kwnames);
}

PyObject* py_rmdir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return remove_entry("rmdir", true, args, nargs, kwnames);
}

PyObject* py_mkdir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"mkdir", kMkdirNames, 3, 3};
  PyObject* a[3];
  meta::MakeDir m;
  std::int32_t mode;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_i32(a[1], "mode", &mode) ||
      !to_target(a[0], a[2], "path", false, &m.target))
    return nullptr;
  m.mode = static_cast<std::uint32_t>(mode);
  return submit_meta(std::move(m));
}

PyObject* py_link(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"link", kLinkNames, 5, 5};
  PyObject* a[5];
  meta::Link l;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_path(a[0], "src", &l.from.path) ||
      !to_path(a[1], "dst", &l.to.path) || !to_opt_fd(a[2], "src_dir_fd", &l.from.dir_fd) ||
      !to_opt_fd(a[3], "dst_dir_fd", &l.to.dir_fd) || !to_flag(a[4], "follow_symlinks", &l.follow_symlinks))
    return nullptr;
  return submit_meta(std::move(l));
}

PyObject* py_symlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"symlink", kSymlinkNames, 3, 3};
  PyObject* a[3];
  meta::Symlink l;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_path(a[0], "src", &l.contents) ||
      !to_target(a[1], a[2], "dst", false, &l.link))
    return nullptr;
  return submit_meta(std::move(l));
}

PyObject* py_readlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"readlink", kPathDirNames, 2, 2};
  PyObject* a[2];
  meta::ReadLink l;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_target(a[0], a[1], "path", false, &l.target)) return nullptr;
  return submit_meta(std::move(l));
}

PyObject* list_entries(const char* function, bool with_types, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  apply_pending_releases();
  const Signature sig{function, kPathNames, 1, 1};
  PyObject* a[1];
  meta::ListDir l;
  l.with_types = with_types;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_target(a[0], nullptr, "path", true, &l.target)) return nullptr;
  return submit_meta(std::move(l));
}

PyObject* py_listdir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return list_entries("listdir", false, args, nargs, kwnames);
}

PyObject* py_scandir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return list_entries("scandir", true, args, nargs, kwnames);
}

PyObject* py_access(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"access", kAccessNames, 5, 5};
  PyObject* a[5];
  meta::Access x;
  std::int32_t mode;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_target(a[0], a[2], "path", false, &x.target) ||
      !to_i32(a[1], "mode", &mode) || !to_flag(a[3], "effective_ids", &x.effective_ids) ||
      !to_flag(a[4], "follow_symlinks", &x.follow_symlinks))
    return nullptr;
  x.mode = mode;
  return submit_meta(std::move(x));
}

PyObject* py_sendfile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"sendfile", kSendfileNames, 4, 4};
  PyObject* a[4];
  meta::SendFile s{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_i32(a[0], "out_fd", &s.out_fd) ||
      !to_i32(a[1], "in_fd", &s.in_fd) || !to_u64(a[3], "count", &s.count))
    return nullptr;
  if (a[2] != Py_None) {
    std::uint64_t offset;
    if (!to_u64(a[2], "offset", &offset)) return nullptr;
    s.offset = offset;
  }
  return submit_meta(std::move(s));
}

#define KESTRELIO_FAST(name, fn, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc }

}  // namespace

PyMethodDef kOsOps[] = {
    KESTRELIO_FAST("adopt", py_adopt,
                   "adopt(fd, close_on_release)\n--\n\n"
                   "Enters an open descriptor into the file table; resolves to `(handle, size,\n"
                   "fd)` like `open`. Without `close_on_release` the caller keeps the\n"
                   "descriptor: `close(handle)` only forgets it."),
    KESTRELIO_FAST("stat", py_stat, "stat(path, dir_fd, follow_symlinks)\n--\n\n"),
    KESTRELIO_FAST("statvfs", py_statvfs, "statvfs(path)\n--\n\n"),
    KESTRELIO_FAST("rename", py_rename, "rename(src, dst, src_dir_fd, dst_dir_fd)\n--\n\n"),
    KESTRELIO_FAST("unlink", py_unlink, "unlink(path, dir_fd)\n--\n\n"),
    KESTRELIO_FAST("rmdir", py_rmdir, "rmdir(path, dir_fd)\n--\n\n"),
    KESTRELIO_FAST("mkdir", py_mkdir, "mkdir(path, mode, dir_fd)\n--\n\n"),
    KESTRELIO_FAST("link", py_link, "link(src, dst, src_dir_fd, dst_dir_fd, follow_symlinks)\n--\n\n"),
    KESTRELIO_FAST("symlink", py_symlink, "symlink(src, dst, dir_fd)\n--\n\n"),
    KESTRELIO_FAST("readlink", py_readlink, "readlink(path, dir_fd)\n--\n\n"),
    KESTRELIO_FAST("listdir", py_listdir, "listdir(path)\n--\n\n"),
    KESTRELIO_FAST("scandir", py_scandir, "scandir(path)\n--\n\n"),
    KESTRELIO_FAST("access", py_access, "access(path, mode, dir_fd, effective_ids, follow_symlinks)\n--\n\n"),
    KESTRELIO_FAST("sendfile", py_sendfile, "sendfile(out_fd, in_fd, offset, count)\n--\n\n"),
};
const std::size_t kOsOpsCount = std::size(kOsOps);

PyObject* stat_tuple(const StatInfo& s) {
  return Py_BuildValue("(kKKKkkLLkLkLkLLK)", static_cast<unsigned long>(s.mode), static_cast<unsigned long long>(s.ino),
                       static_cast<unsigned long long>(s.dev), static_cast<unsigned long long>(s.nlink),
                       static_cast<unsigned long>(s.uid), static_cast<unsigned long>(s.gid),
                       static_cast<long long>(s.size), static_cast<long long>(s.atime_sec),
                       static_cast<unsigned long>(s.atime_nsec), static_cast<long long>(s.mtime_sec),
                       static_cast<unsigned long>(s.mtime_nsec), static_cast<long long>(s.ctime_sec),
                       static_cast<unsigned long>(s.ctime_nsec), static_cast<long long>(s.blksize),
                       static_cast<long long>(s.blocks), static_cast<unsigned long long>(s.rdev));
}

PyObject* statvfs_tuple(const StatVfsInfo& v) {
  return Py_BuildValue("(KKKKKKKKKKK)", static_cast<unsigned long long>(v.bsize),
                       static_cast<unsigned long long>(v.frsize), static_cast<unsigned long long>(v.blocks),
                       static_cast<unsigned long long>(v.bfree), static_cast<unsigned long long>(v.bavail),
                       static_cast<unsigned long long>(v.files), static_cast<unsigned long long>(v.ffree),
                       static_cast<unsigned long long>(v.favail), static_cast<unsigned long long>(v.flag),
                       static_cast<unsigned long long>(v.namemax), static_cast<unsigned long long>(v.fsid));
}

PyObject* entries_list(const reply::Entries& e) {
  bool typed = e.kinds.size() == e.names.size() && e.inodes.size() == e.names.size() && !e.kinds.empty();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(e.names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < e.names.size(); ++i) {
    const std::string& n = e.names[i];
    PyRef name = PyRef::steal(PyBytes_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
    if (!name) return nullptr;
    PyObject* item = name.release();
    if (typed) {
      PyRef bytes = PyRef::steal(item);
      item = Py_BuildValue("(OiK)", bytes.get(), static_cast<int>(e.kinds[i]),
                           static_cast<unsigned long long>(e.inodes[i]));
      if (!item) return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace kestrelio::py
