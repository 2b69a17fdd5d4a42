/* Video service of the camera platform: encoded video streams.
 *
 * Maps and streams are GObjects (release with g_object_unref); buffers go
 * back to their stream with vdo_stream_buffer_unref. Failures return NULL or
 * FALSE and set a GError of the VDO domain. */
#ifndef VDO_H
#define VDO_H

#include <glib-object.h>
#include <stdint.h>

G_BEGIN_DECLS

/* ---- maps: typed key/value settings and information ---- */
#define VDO_TYPE_MAP (vdo_map_get_type())
G_DECLARE_FINAL_TYPE(VdoMap, vdo_map, VDO, MAP, GObject)

VdoMap *vdo_map_new(void);
void vdo_map_set_uint32(VdoMap *map, const gchar *key, guint32 value);
void vdo_map_set_double(VdoMap *map, const gchar *key, gdouble value);
void vdo_map_set_boolean(VdoMap *map, const gchar *key, gboolean value);
void vdo_map_set_pair32u(VdoMap *map, const gchar *key, guint32 first, guint32 second);
guint32 vdo_map_get_uint32(VdoMap *map, const gchar *key, guint32 default_value);
gdouble vdo_map_get_double(VdoMap *map, const gchar *key, gdouble default_value);
gboolean vdo_map_get_boolean(VdoMap *map, const gchar *key, gboolean default_value);
/* TRUE and the pair when the key holds one; FALSE with the outputs untouched. */
gboolean vdo_map_get_pair32u(VdoMap *map, const gchar *key, guint32 *first, guint32 *second);
gboolean vdo_map_contains(VdoMap *map, const gchar *key);

/* ---- errors ---- */
#define VDO_ERROR (vdo_error_quark())
GQuark vdo_error_quark(void);

typedef enum {
  VDO_ERROR_FAILED = 1,
  VDO_ERROR_NOT_FOUND = 2,
  VDO_ERROR_INVALID_ARGUMENT = 3,
  VDO_ERROR_STATE = 4,
  VDO_ERROR_NO_DATA = 13, /* no frame ready yet: call again */
  VDO_ERROR_EXPECTED = 20, /* harmless, e.g. a buffer returned after the stream stopped */
} VdoErrorCode;

/* TRUE when the held error is harmless; the caller clears it and goes on. */
gboolean vdo_error_is_expected(GError **error);

/* ---- frames ---- */
typedef enum {
  VDO_FRAME_TYPE_NONE = 0,
  VDO_FRAME_TYPE_H264_SPS = 1,
  VDO_FRAME_TYPE_H264_PPS = 2,
  VDO_FRAME_TYPE_H264_SEI = 3,
  VDO_FRAME_TYPE_H264_IDR = 4,
  VDO_FRAME_TYPE_H264_I = 5,
  VDO_FRAME_TYPE_H264_P = 6,
  VDO_FRAME_TYPE_H264_B = 7,
  VDO_FRAME_TYPE_H265_VPS = 9,
  VDO_FRAME_TYPE_H265_SPS = 10,
  VDO_FRAME_TYPE_H265_PPS = 11,
  VDO_FRAME_TYPE_H265_IDR = 12,
  VDO_FRAME_TYPE_H265_I = 13,
  VDO_FRAME_TYPE_H265_P = 14,
  VDO_FRAME_TYPE_H265_B = 15,
  VDO_FRAME_TYPE_AV1_KEY = 22,
  VDO_FRAME_TYPE_AV1_INTER = 23,
} VdoFrameType;

typedef struct _VdoBuffer VdoBuffer;
typedef struct _VdoFrame VdoFrame;

/* One piece of a frame's data. `size` 0 marks the end of the frame;
 * `status` VDO_CHUNK_FAILED marks a failed read (the GError says why). */
#define VDO_CHUNK_FAILED INT32_MIN
typedef struct {
  const guint8 *data;
  gsize size;
  gint32 status;
} VdoChunk;

VdoFrame *vdo_buffer_get_frame(VdoBuffer *buffer);
VdoFrameType vdo_frame_get_frame_type(VdoFrame *frame);
guint64 vdo_frame_get_timestamp(VdoFrame *frame); /* microseconds, monotonic */
gboolean vdo_frame_is_key(VdoFrame *frame);
gsize vdo_frame_get_size(VdoFrame *frame);
VdoChunk vdo_frame_take_chunk(VdoFrame *frame, GError **error);

/* ---- streams ---- */
#define VDO_TYPE_STREAM (vdo_stream_get_type())
G_DECLARE_FINAL_TYPE(VdoStream, vdo_stream, VDO, STREAM, GObject)

/* `settings` stays the caller's; `reserved` must be NULL. */
VdoStream *vdo_stream_new(VdoMap *settings, gpointer reserved, GError **error);
VdoMap *vdo_stream_get_info(VdoStream *stream, GError **error);
gboolean vdo_stream_start(VdoStream *stream, GError **error);
void vdo_stream_stop(VdoStream *stream);
VdoBuffer *vdo_stream_get_buffer(VdoStream *stream, GError **error);
gboolean vdo_stream_buffer_unref(VdoStream *stream, VdoBuffer **buffer, GError **error);

G_END_DECLS

#endif
