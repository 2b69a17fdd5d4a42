/* Application parameter store of the camera platform.
 *
 * A handle opened for an application name reads and writes that
 * application's own parameters by their short names, and reads the
 * platform's system parameters by their full dotted names. Failures return
 * false or NULL and set a GError. One handle may be used from several
 * threads at once. */
#ifndef AXPARAMETER_H
#define AXPARAMETER_H

#include <glib.h>

G_BEGIN_DECLS

typedef struct _AXParameter AXParameter;

#define AX_PARAMETER_ERROR (ax_parameter_error_quark())
GQuark ax_parameter_error_quark(void);

typedef enum {
  AX_PARAMETER_ERROR_INVALID_ARGUMENT, /* missing handle, name or value; value too long */
  AX_PARAMETER_ERROR_NOT_FOUND,        /* parameter or application group not declared */
  AX_PARAMETER_ERROR_STORAGE,          /* the store could not be read or written */
  AX_PARAMETER_ERROR_READ_ONLY,        /* system parameters cannot be written */
} AXParameterErrorCode;

/* Longest value the store holds, in bytes (the terminating NUL not counted). */
#define AX_PARAMETER_VALUE_MAX 65536

/* Opens the parameter group of `application_name`. */
AXParameter *ax_parameter_new(const gchar *application_name, GError **error);

/* On success `*value` is a newly allocated text (free with g_free). */
gboolean ax_parameter_get(AXParameter *handle, const gchar *name, gchar **value, GError **error);

/* Writes an application parameter; `sync` makes the write durable before it returns. */
gboolean ax_parameter_set(AXParameter *handle, const gchar *name, const gchar *value,
                          gboolean sync, GError **error);

void ax_parameter_free(AXParameter *handle);

G_END_DECLS

#endif
