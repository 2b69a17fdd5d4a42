// VdoMap: typed key-value settings and information. Getters are strict:
// an entry of another type reads as absent, as the default.
#include <map>
#include <string>

#include "vdo_internal.h"

using vdo_emulator::MapKind;
using vdo_emulator::MapValue;

struct _VdoMap {
  GObject parent_instance;
  std::map<std::string, MapValue, std::less<>> *entries;
};

G_DEFINE_FINAL_TYPE(VdoMap, vdo_map, G_TYPE_OBJECT)

static void vdo_map_finalize(GObject *object) {
  VdoMap *map = VDO_MAP(object);
  delete map->entries;
  map->entries = nullptr;
  G_OBJECT_CLASS(vdo_map_parent_class)->finalize(object);
}

static void vdo_map_class_init(VdoMapClass *klass) { G_OBJECT_CLASS(klass)->finalize = vdo_map_finalize; }

static void vdo_map_init(VdoMap *map) {
  map->entries = new std::map<std::string, MapValue, std::less<>>();
}

namespace vdo_emulator {

const MapValue *map_find(VdoMap *map, const char *key) {
  if (map == nullptr || key == nullptr) return nullptr;
  auto it = map->entries->find(key);
  return it == map->entries->end() ? nullptr : &it->second;
}

}  // namespace vdo_emulator

namespace {

void store(VdoMap *map, const gchar *key, const MapValue &value) { (*map->entries)[key] = value; }

const MapValue *find_kind(VdoMap *map, const gchar *key, MapKind kind) {
  const MapValue *value = vdo_emulator::map_find(map, key);
  return value != nullptr && value->kind == kind ? value : nullptr;
}

}  // namespace

VdoMap *vdo_map_new(void) { return VDO_MAP(g_object_new(VDO_TYPE_MAP, nullptr)); }

void vdo_map_set_uint32(VdoMap *map, const gchar *key, guint32 value) {
  g_return_if_fail(VDO_IS_MAP(map) && key != nullptr);
  store(map, key, MapValue{MapKind::UINT32, value, 0, 0.0});
}

void vdo_map_set_double(VdoMap *map, const gchar *key, gdouble value) {
  g_return_if_fail(VDO_IS_MAP(map) && key != nullptr);
  store(map, key, MapValue{MapKind::DOUBLE, 0, 0, value});
}

void vdo_map_set_boolean(VdoMap *map, const gchar *key, gboolean value) {
  g_return_if_fail(VDO_IS_MAP(map) && key != nullptr);
  store(map, key, MapValue{MapKind::BOOLEAN, value ? 1u : 0u, 0, 0.0});
}

void vdo_map_set_pair32u(VdoMap *map, const gchar *key, guint32 first, guint32 second) {
  g_return_if_fail(VDO_IS_MAP(map) && key != nullptr);
  store(map, key, MapValue{MapKind::PAIR32U, first, second, 0.0});
}

guint32 vdo_map_get_uint32(VdoMap *map, const gchar *key, guint32 default_value) {
  g_return_val_if_fail(VDO_IS_MAP(map) && key != nullptr, default_value);
  const MapValue *value = find_kind(map, key, MapKind::UINT32);
  return value ? value->first : default_value;
}

gdouble vdo_map_get_double(VdoMap *map, const gchar *key, gdouble default_value) {
  g_return_val_if_fail(VDO_IS_MAP(map) && key != nullptr, default_value);
  const MapValue *value = find_kind(map, key, MapKind::DOUBLE);
  return value ? value->number : default_value;
}

gboolean vdo_map_get_boolean(VdoMap *map, const gchar *key, gboolean default_value) {
  g_return_val_if_fail(VDO_IS_MAP(map) && key != nullptr, default_value);
  const MapValue *value = find_kind(map, key, MapKind::BOOLEAN);
  return value ? static_cast<gboolean>(value->first) : default_value;
}

gboolean vdo_map_get_pair32u(VdoMap *map, const gchar *key, guint32 *first, guint32 *second) {
  g_return_val_if_fail(VDO_IS_MAP(map) && key != nullptr, FALSE);
  const MapValue *value = find_kind(map, key, MapKind::PAIR32U);
  if (value == nullptr) return FALSE;
  if (first) *first = value->first;
  if (second) *second = value->second;
  return TRUE;
}

gboolean vdo_map_contains(VdoMap *map, const gchar *key) {
  g_return_val_if_fail(VDO_IS_MAP(map) && key != nullptr, FALSE);
  return vdo_emulator::map_find(map, key) != nullptr;
}
