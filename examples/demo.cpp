// Opens, writes, reads back and closes a file through the Driver, printing
// each reply. Run by `make demo`.
#include <cstdio>
#include <future>
#include <string>

#include "kestrelio/driver.hpp"

using namespace kestrelio;

namespace {

OpResult call(Driver& d, Op op) {
  std::promise<OpResult> p;
  auto f = p.get_future();
  d.submit(std::move(op), [&p](OpResult r) { p.set_value(std::move(r)); });
  return f.get();
}

void show(const char* what, const OpResult& r) {
  std::printf("%-6s -> %s\n", what, r.ok() ? to_text(r.reply()).c_str() : r.error().to_string().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : "/tmp/kestrelio-demo.bin";
  auto created = Driver::create(BackendKind::DarwinAio);
  if (!created) {
    std::fprintf(stderr, "driver: %s\n", created.error().to_string().c_str());
    return 1;
  }
  Driver& d = *created.value();
  std::printf("backend %s, file %s\n", d.name(), path.c_str());

  OpResult opened = call(d, op::Open{true, true, false, true, true, false, path});
  show("open", opened);
  if (!opened.ok()) return 1;
  HandleId h = std::get<reply::Handle>(opened.reply()).id;

  const std::string text = "hello from kestrelio\n";
  show("write", call(d, op::Write{false, h, 0, Payload::owned({text.begin(), text.end()})}));
  OpResult back = call(d, op::Read{h, 0, ReadBuf::owned(64)});
  show("read", back);
  if (back.ok()) {
    auto& bytes = std::get<reply::Bytes>(back.reply()).data;
    std::printf("text   -> %.*s", static_cast<int>(bytes.size()), reinterpret_cast<const char*>(bytes.data()));
  }
  show("size", call(d, op::Size{h}));
  show("close", call(d, op::Close{h}));
  show("again", call(d, op::Size{h}));
  return 0;
}
