// The "rtmp-stream" worker thread: one stream run from its request to its end.
#pragma once

// The thread function; owns `request` (a StreamRequest*), and reports to
// the StreamControl the request names.
void *stream_worker(void *request);
