// PLACEHOLDER until the camera emulator lands.
#include "vdo.h"

G_DEFINE_QUARK(vdo-error-quark, vdo_error)
