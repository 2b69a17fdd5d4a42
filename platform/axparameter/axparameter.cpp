// PLACEHOLDER until the parameter store lands: every handle is refused.
#include "axparameter.h"

G_DEFINE_QUARK(ax-parameter-error-quark, ax_parameter_error)

AXParameter *ax_parameter_new(const gchar *, GError **error) {
  g_set_error(error, AX_PARAMETER_ERROR, AX_PARAMETER_ERROR_STORAGE, "parameter store not available");
  return nullptr;
}
gboolean ax_parameter_get(AXParameter *, const gchar *, gchar **, GError **) { return FALSE; }
gboolean ax_parameter_set(AXParameter *, const gchar *, const gchar *, gboolean, GError **) { return FALSE; }
void ax_parameter_free(AXParameter *) {}
