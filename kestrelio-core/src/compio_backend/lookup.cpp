#include "compio_backend/state.hpp"

namespace kestrelio::compio_backend {

Expected<runtime::File> lookup(const FileTable& files, HandleId handle) {
  auto it = files.find(handle);
  if (it == files.end()) return IoError::custom(IoErrorKind::InvalidInput, kUnknownHandle);
  return it->second;
}

}  // namespace kestrelio::compio_backend
