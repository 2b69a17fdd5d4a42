// The three operations that change the stream: start, stop, reap.
#pragma once

#include <cstdint>

#include "base/stream_records.h"

// The two rules a stream choice meets before anything starts: the
// destination is longer than 6 bytes and begins with exactly "rtmp://", and
// a named profile comes with its parameters. Null when the choice passes,
// else the refusal message.
const char *stream_choice_refusal(const char *destination, const char *profile_name,
                                  const char *profile_parameters);

// Starts the "rtmp-stream" worker on `control`. On refusal writes
// stream_choice_refusal's message or "Stream is already running." into
// `message_out` (kMessageSize bytes) and returns false.
bool stream_start(StreamControl &control, const char *destination, const char *profile_name,
                  const char *profile_parameters, bool silent_audio, const char *log_message,
                  char *message_out);

// Asks the worker to end and joins it (outside the lock).
void stream_stop(StreamControl &control);

// Joins a worker that has ended by itself.
void stream_reap(StreamControl &control);
