// The end of a stream request.
#include "base/stream_records.h"

void free_stream_request(StreamRequest *request) {
  if (!request) return;
  g_free(request->destination);
  g_free(request->profile_name);
  g_free(request->profile_parameters);
  g_free(request);
}
