#include "kestrelio/reply.hpp"

namespace kestrelio {

namespace {

// A Bytes reply of great length is cut here; the text only ever feeds an
// error message.
constexpr std::size_t kBytesShown = 64;

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace

void append_text(std::string& out, const Reply& r) {
  std::visit(Overload{
                 [&](const reply::Handle& h) {
                   out += "Handle { id: " + std::to_string(h.id) + ", size: " + std::to_string(h.size) +
                          ", fd: " + std::to_string(h.fd) + " }";
                 },
                 [&](const reply::Bytes& b) {
                   out += "Bytes([";
                   std::size_t shown = b.data.size() < kBytesShown ? b.data.size() : kBytesShown;
                   for (std::size_t i = 0; i < shown; ++i) {
                     if (i) out += ", ";
                     out += std::to_string(b.data[i]);
                   }
                   if (shown < b.data.size()) out += ", .. (" + std::to_string(b.data.size()) + " bytes)";
                   out += "])";
                 },
                 [&](const reply::Read& x) { out += "Read { n: " + std::to_string(x.n) + " }"; },
                 [&](const reply::Written& w) {
                   out += "Written { n: " + std::to_string(w.n) + ", end: " + std::to_string(w.end) + " }";
                 },
                 [&](const reply::Size& s) { out += "Size(" + std::to_string(s.size) + ")"; },
                 [&](const reply::Unit&) { out += "Unit"; },
                 [&](const reply::Stat& st) {
                   out += "Stat { mode: " + std::to_string(st.info.mode) + ", size: " + std::to_string(st.info.size) +
                          " }";
                 },
                 [&](const reply::StatVfs& v) { out += "StatVfs { bsize: " + std::to_string(v.info.bsize) + " }"; },
                 [&](const reply::Entries& e) { out += "Entries(" + std::to_string(e.names.size()) + ")"; },
             },
             r);
}

std::string to_text(const Reply& r) {
  std::string s;
  append_text(s, r);
  return s;
}

}  // namespace kestrelio
