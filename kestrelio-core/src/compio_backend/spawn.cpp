#include "compio_backend/spawn.hpp"

#include "compio_backend/run.hpp"
#include "compio_backend/serve.hpp"

namespace kestrelio::compio_backend {

void spawn(Receiver<Msg> msgs, Sender<Startup> startup, DriverOptions options) {
  runtime::RuntimeOptions ro;
  ro.driver = options.runtime_driver;
  serve(std::move(msgs), std::move(startup), std::move(ro));
}

void serve(Receiver<Msg> msgs, Sender<Startup> startup, runtime::RuntimeOptions options) {
  auto created = runtime::Runtime::create(std::move(options));
  if (!created) {
    (void)startup.send(Startup(created.error()));
    return;  // both channel ends drop here; nothing was ever received
  }
  std::unique_ptr<runtime::Runtime> rt = std::move(created).value();
  (void)startup.send(Startup(rt->driver_type()));  // a creator that gave up is no reason to stop
  rt->block_on(run(std::move(msgs)));
  rt->run_ready_once();
  // Tasks still waiting are abandoned here, their ReplyFns dropped uncalled;
  // the runtime first reaps every kernel and pool operation they started.
  rt.reset();
  startup.reset();
}

}  // namespace kestrelio::compio_backend
