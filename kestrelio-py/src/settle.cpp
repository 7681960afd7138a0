#include <cerrno>
#include <string>
#include <type_traits>
#include <variant>

#include "completion.hpp"
#include "errors.hpp"
#include "many_ops.hpp"
#include "os_ops.hpp"
#include "py_ref.hpp"

namespace kestrelio::py {

namespace {

// Interned once; the drain calls these for every completion.
PyObject* name(PyObject** slot, const char* text) {
  if (!*slot) *slot = PyUnicode_InternFromString(text);
  return *slot;
}
PyObject* set_result_name() {
  static PyObject* s = nullptr;
  return name(&s, "set_result");
}
PyObject* set_exception_name() {
  static PyObject* s = nullptr;
  return name(&s, "set_exception");
}
PyObject* settle_cancelled_name() {
  static PyObject* s = nullptr;
  return name(&s, "settle_cancelled");
}

struct KeptInterrupt {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
};
KeptInterrupt kept;  // guarded by the interpreter lock

bool pending_is_interrupt() { return !PyErr_ExceptionMatches(PyExc_Exception); }

void call_discarding(PyObject* future, PyObject* method, PyObject* arg) {
  PyRef r = PyRef::steal(arg ? PyObject_CallMethodOneArg(future, method, arg) : PyObject_CallMethodNoArgs(future, method));
  if (!r) keep_interrupt_or_clear();
}

// Gives the future the pending exception (which is cleared); an interrupt
// is kept for the loop instead.
void fail_with_pending(PyObject* future) {
  if (pending_is_interrupt()) {
    keep_interrupt_or_clear();
    return;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value && tb) PyException_SetTraceback(value, tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  if (v) call_discarding(future, set_exception_name(), v.get());
}

PyObject* handle_tuple(const reply::Handle& h) {
  return Py_BuildValue("(KKL)", static_cast<unsigned long long>(h.id), static_cast<unsigned long long>(h.size),
                       static_cast<long long>(h.fd));
}

PyObject* mismatch(const Reply& r) {
  std::string text = "mismatched kestrelio reply: " + to_text(r);
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return nullptr;
}

// The value of a reply for its kind, a new reference, or null with an
// exception set. `bytes_object` is the FilledBytes payload.
PyObject* value_of(CompletionKind::Tag tag, Reply& reply, PyObject* bytes_object) {
  using Tag = CompletionKind::Tag;
  return std::visit(
      [&](auto& r) -> PyObject* {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, reply::Handle>) {
          return handle_tuple(r);
        } else if constexpr (std::is_same_v<R, reply::Bytes>) {
          PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r.data.data()),
                                                  static_cast<Py_ssize_t>(r.data.size()));
          std::vector<std::uint8_t>().swap(r.data);  // freed once copied
          return b;
        } else if constexpr (std::is_same_v<R, reply::Read>) {
          if (tag == Tag::ByteCount) return PyLong_FromSize_t(r.n);
          if (tag != Tag::FilledBytes || !bytes_object) return mismatch(reply);
          Py_ssize_t len = PyObject_Size(bytes_object);
          if (len < 0) return nullptr;
          if (r.n > static_cast<std::size_t>(len)) return internal_fault("read reply longer than its buffer");
          if (r.n == static_cast<std::size_t>(len)) return Py_NewRef(bytes_object);
          return PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes_object), static_cast<Py_ssize_t>(r.n));
        } else if constexpr (std::is_same_v<R, reply::Written>) {
          if (tag == Tag::WriteCount) return PyLong_FromSize_t(r.n);
          return tuple_of({PyLong_FromSize_t(r.n), PyLong_FromUnsignedLongLong(r.end)});
        } else if constexpr (std::is_same_v<R, reply::Size>) {
          return PyLong_FromUnsignedLongLong(r.size);
        } else if constexpr (std::is_same_v<R, reply::Stat>) {
          return stat_tuple(r.info);
        } else if constexpr (std::is_same_v<R, reply::StatVfs>) {
          return statvfs_tuple(r.info);
        } else if constexpr (std::is_same_v<R, reply::Entries>) {
          return entries_list(r, tag == Tag::TextNames);
        } else {
          Py_RETURN_NONE;
        }
      },
      reply);
}

}  // namespace

void keep_interrupt_or_clear() {
  if (!PyErr_Occurred()) return;
  if (!pending_is_interrupt() || kept.type) {
    PyErr_Clear();
    return;
  }
  PyErr_Fetch(&kept.type, &kept.value, &kept.tb);
}

bool raise_kept_interrupt() {
  if (!kept.type) return false;
  PyErr_Restore(kept.type, kept.value, kept.tb);
  kept = KeptInterrupt{};
  return true;
}

void settle(Completion c) {
  PyObject* future = c.future.get();
  using Tag = CompletionKind::Tag;
  if (!c.result.ok()) {
    const IoError& err = c.result.error();
    if (err.is_os() && err.raw_os_error() == ECANCELED) {
      call_discarding(future, settle_cancelled_name(), nullptr);
    } else {
      PyRef exc = PyRef::steal(io_err_to_pyerr(err));
      if (exc) {
        call_discarding(future, set_exception_name(), exc.get());
      } else {
        fail_with_pending(future);
      }
    }
  } else if (c.kind.tag == Tag::HandleCallback && c.kind.payload &&
             std::holds_alternative<reply::Handle>(c.result.reply())) {
    const auto& h = std::get<reply::Handle>(c.result.reply());
    PyRef r = PyRef::steal(PyObject_CallFunction(c.kind.payload.get(), "OKL", future,
                                                 static_cast<unsigned long long>(h.id), static_cast<long long>(h.fd)));
    if (!r) fail_with_pending(future);
  } else {
    PyObject* bytes_object = c.kind.tag == Tag::FilledBytes ? c.kind.payload.get() : nullptr;
    PyRef value = PyRef::steal(c.kind.tag == Tag::ReadList || c.kind.tag == Tag::CountList
                                   ? many_value(c.kind)
                                   : value_of(c.kind.tag, c.result.reply(), bytes_object));
    if (!value) {
      fail_with_pending(future);
    } else {
      // The completion's own reference goes first, so a full read hands the
      // caller the very object with nothing else holding it.
      c.kind.payload.reset();
      PyRef r = PyRef::steal(PyObject_CallMethodOneArg(future, set_result_name(), value.get()));
      if (!r) fail_with_pending(future);
    }
  }
  c.owner.reset();
  c.kind.many.reset();
  c.kind.payload.reset();
  c.future.reset();
  keep_interrupt_or_clear();
}

}  // namespace kestrelio::py
