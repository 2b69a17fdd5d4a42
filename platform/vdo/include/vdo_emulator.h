/* Test hooks of the camera emulator. Not part of the camera's video
 * interface: only tests and benchmarks include this header. */
#ifndef VDO_EMULATOR_H
#define VDO_EMULATOR_H

#include <glib.h>

G_BEGIN_DECLS

/* Objects alive right now in this process. */
typedef struct {
  guint maps;
  guint streams;
  guint buffers; /* handed out and not yet returned */
} VdoEmulatorLiveObjects;

VdoEmulatorLiveObjects vdo_emulator_live_objects(void);

/* Restarts the process-wide count of vdo_stream_new calls that
 * VDO_EMULATOR_FAIL=new:N refers to. Other calls are counted per stream. */
void vdo_emulator_reset_faults(void);

/* Forgets the encoded clips held in memory (streams keep theirs). */
void vdo_emulator_clear_clip_cache(void);

/* Clips this process has encoded (cache misses), for cache tests. */
guint64 vdo_emulator_clip_encode_count(void);

G_END_DECLS

#endif
