#pragma once

#include <Python.h>

#include <cstddef>

#include "kestrelio/reply.hpp"

namespace kestrelio::py {

// The module's descriptor-adopting and metadata functions, registered after
// the others.
extern PyMethodDef kOsOps[];
extern const std::size_t kOsOpsCount;

// Future values of the metadata replies; new references, or null with an
// exception set.
// (mode, ino, dev, nlink, uid, gid, size, atime_s, atime_ns, mtime_s,
//  mtime_ns, ctime_s, ctime_ns, blksize, blocks, rdev)
PyObject* stat_tuple(const StatInfo& s);
// (bsize, frsize, blocks, bfree, bavail, files, ffree, favail, flag, namemax, fsid)
PyObject* statvfs_tuple(const StatVfsInfo& v);
// A list of bytes names, or of (name, kind, inode) with kinds as in EntryKind.
PyObject* entries_list(const reply::Entries& e);

}  // namespace kestrelio::py
