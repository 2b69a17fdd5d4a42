// The RtmpOutput record: what one worker run holds of its FLV-over-RTMP
// output, the silent AAC track's fields among them.
#pragma once

#include <cstdint>

#include "base/owners.h"
#include "publish/delivery_ledger.h"
#include "publish/output_interrupt.h"

struct RtmpOutput {
  OutputContextOwner format_context;  // null while closed
  AVStream *video_stream;             // owned by the context
  // The SilentAacTrack: these two, and the four audio fields below.
  AVStream *audio_stream;  // owned by the context
  CodecContextOwner audio_encoder;
  uint64_t base_timestamp;    // capture time of the opening frame, µs
  int64_t last_pts;           // µs; -1 before the first packet
  int64_t frame_duration;     // µs
  int64_t audio_next_pts;     // samples
  int64_t audio_written_pts;  // µs: the last audio packet handed to the muxer
  int32_t audio_frame_size;   // samples per frame
  uint32_t audio_enabled;
  // Allocated at their first use and reused for every frame of the run.
  PacketOwner video_packet;
  PacketOwner audio_packet;
  FrameOwner audio_frame;
  OutputInterrupt interrupt;  // looks at the ledger: both stay in place while open
  DeliveryLedger ledger;
};
