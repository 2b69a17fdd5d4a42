/* Test hooks of the camera emulator. Not part of the camera's video
 * interface: only tests and benchmarks include this header. */
#ifndef VDO_EMULATOR_H
#define VDO_EMULATOR_H

#include <glib.h>

G_BEGIN_DECLS

/* Forgets the encoded clips held in memory (streams keep theirs). */
void vdo_emulator_clear_clip_cache(void);

G_END_DECLS

#endif
