// PLACEHOLDER worker body until the capture and publishing work lands: it
// honours the worker's obligations to StreamControl and idles until stopped.
#include <glib.h>

#include "app/app_state.h"
#include "app/stream_control.h"

void *stream_worker(void *data) {
  auto *request = static_cast<StreamRequest *>(data);
  {
    StreamLock lock;
    app_state.stream.last_error[0] = '\0';
  }
  for (;;) {
    {
      StreamLock lock;
      if (app_state.stream.stop_requested) break;
    }
    g_usleep(10000);
  }
  free_stream_request(request);
  StreamLock lock;
  StreamControl &control = app_state.stream;
  control.running = 0;
  control.stop_requested = 0;
  control.current_bitrate = 0;
  if (!control.last_error[0]) g_strlcpy(control.last_error, "Stream stopped.", sizeof control.last_error);
  control.destination[0] = '\0';
  return nullptr;
}
