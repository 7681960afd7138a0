#include "globals.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bridge.hpp"
#include "errors.hpp"
#include "pending_release.hpp"

namespace kestrelio::py {

std::atomic<bool> DOORBELLS_ENABLED{true};

Globals& globals() {
  static Globals* g = new Globals;  // leaked on purpose, see the type
  return *g;
}

namespace {

std::atomic<std::uint32_t> process_id{0};
std::atomic<bool> forked{false};

void refresh_process_id() noexcept { process_id.store(static_cast<std::uint32_t>(getpid()), std::memory_order_relaxed); }

void after_fork_in_child() noexcept {
  refresh_process_id();
  forked.store(true, std::memory_order_relaxed);
}

// The value as a double-quoted literal with backslash escapes, so a stray
// space or control character is visible in the error.
std::string quoted(const std::string& value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

bool valid_utf8(const char* s) {
  PyObject* u = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(std::char_traits<char>::length(s)), "strict");
  if (!u) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(u);
  return true;
}

// What a KESTRELIO_BACKEND value (or a set_default_backend argument) asks for.
enum class Choice { DarwinAio, Compio, Loop, Auto };

bool parse_choice(const std::string& value, Choice* choice) {
  if (value == "aio" || value == "darwin-aio") {
    *choice = Choice::DarwinAio;
  } else if (value == "compio") {
    *choice = Choice::Compio;
  } else if (value == "loop" || value == "loop-io-uring") {
    *choice = Choice::Loop;
  } else if (value == "auto") {
    *choice = Choice::Auto;
  } else {
    return false;
  }
  return true;
}

// Set by set_default_backend; guarded by the driver slot's mutex. A forked
// child inherits it with the rest of the process image.
std::optional<Choice> default_choice;

// False with ValueError set for a value we do not know. The environment
// wins over the default a caller set; without either, darwin-aio.
bool choose_backend(Choice* choice) {
  const char* raw = std::getenv("KESTRELIO_BACKEND");
  *choice = default_choice.value_or(Choice::DarwinAio);
  if (!raw || !valid_utf8(raw)) return true;
  std::string value(raw);
  if (parse_choice(value, choice)) return true;
  std::string message = "unknown KESTRELIO_BACKEND: " + quoted(value);
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

// The fastest backend this machine runs: the loop backend where io_uring
// can be set up with every opcode it needs, else darwin-aio (the runtime
// backend without io_uring is the slower of the two).
Expected<std::unique_ptr<Driver>> create_driver(Choice choice) {
  if (choice == Choice::DarwinAio) return Driver::create(BackendKind::DarwinAio);
  if (choice == Choice::Compio) return Driver::create(BackendKind::Compio);
  if (choice == Choice::Loop) return Driver::create(BackendKind::LoopUring);
  DriverOptions uring_only;
  uring_only.runtime_driver = RuntimeDriverChoice::IoUring;
  auto uring = Driver::create(BackendKind::LoopUring, uring_only);
  if (uring) return uring;
  return Driver::create(BackendKind::DarwinAio);
}

}  // namespace

// getpid is a system call on every submission otherwise; the id changes
// only across fork, whose child handler refreshes it before any Python
// code runs in the child.
std::uint32_t current_process_id() noexcept {
  static const bool registered = [] {
    refresh_process_id();
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
  }();
  (void)registered;
  return process_id.load(std::memory_order_relaxed);
}

bool in_forked_child() noexcept {
  (void)current_process_id();
  return forked.load(std::memory_order_relaxed);
}

std::shared_ptr<Driver> driver() {
  const std::uint32_t pid = current_process_id();
  Globals& g = globals();
  // Released only after both locks are given back: dropping a bridge can run
  // Python code, which may switch threads.
  std::vector<std::shared_ptr<LoopBridge>> inherited;
  std::shared_ptr<Driver> result;
  {
    std::lock_guard<std::mutex> slot_lock(g.driver_slot.mutex);
    auto& slot = g.driver_slot.slot;
    if (slot && slot->first == pid) return slot->second;
    if (slot) {
      // A forked child: the parent's bridges watch pipes nobody rings here.
      std::lock_guard<std::mutex> bridges_lock(g.bridges.mutex);
      for (auto& [key, bridge] : g.bridges.map) inherited.push_back(std::move(bridge));
      g.bridges.map.clear();
    }
    Choice choice;
    if (!choose_backend(&choice)) return nullptr;
    auto created = create_driver(choice);
    if (!created) {
      raise_io_error(created.error());
      return nullptr;
    }
    if (slot) {
      // The parent's driver is never destroyed in the child: its channel's
      // locks may have been held at fork time by threads that do not exist
      // here, so dropping it could hang. One leaked object per fork.
      new std::shared_ptr<Driver>(std::move(slot->second));
    }
    result = std::shared_ptr<Driver>(std::move(created).value());
    slot.emplace(pid, result);
  }
  return result;
}

PyObject* py_backend_name(PyObject*, PyObject*) {
  apply_pending_releases();
  std::shared_ptr<Driver> d = driver();
  if (!d) return nullptr;
  return PyUnicode_FromString(d->name());
}

PyObject* py_set_default_backend(PyObject*, PyObject* value) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "set_default_backend() argument must be str, not %.200s", Py_TYPE(value)->tp_name);
    return nullptr;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &len);
  if (!utf8) return nullptr;
  std::string text(utf8, static_cast<std::size_t>(len));
  Choice choice;
  if (!parse_choice(text, &choice)) {
    std::string message = "unknown kestrelio backend: " + quoted(text);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  Globals& g = globals();
  std::lock_guard<std::mutex> slot_lock(g.driver_slot.mutex);
  auto& slot = g.driver_slot.slot;
  // Too late once this process has its driver: the choice only ever
  // applies to the one made next.
  if (slot && slot->first == current_process_id()) Py_RETURN_FALSE;
  default_choice = choice;
  Py_RETURN_TRUE;
}

PyObject* py_shutdown(PyObject*, PyObject*) {
  apply_pending_releases();
  DOORBELLS_ENABLED.store(false, std::memory_order_seq_cst);
  Py_RETURN_NONE;
}

}  // namespace kestrelio::py
