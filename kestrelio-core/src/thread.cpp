#include "thread.hpp"

#include <pthread.h>

#include <memory>

#include "platform.hpp"

namespace kestrelio {

namespace {

struct Start {
  const char* name;
  std::function<void()> body;
};

void* thread_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  platform::set_current_thread_name(start->name);
  start->body();
  return nullptr;
}

}  // namespace

std::optional<IoError> spawn_detached(const char* name, std::function<void()> body) {
  auto start = std::make_unique<Start>(Start{name, std::move(body)});
  pthread_attr_t attr;
  if (int e = pthread_attr_init(&attr); e != 0) return IoError::os(e);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  int e = pthread_create(&tid, &attr, thread_main, start.get());
  pthread_attr_destroy(&attr);
  if (e != 0) return IoError::os(e);
  start.release();  // the thread owns it now
  return std::nullopt;
}

}  // namespace kestrelio
