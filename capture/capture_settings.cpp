// Turns a parsed stream profile into the settings map of the video stream.
#include "capture/capture_settings.h"

namespace {

// "rc.mode" and the one bitrate entry. A bitrate counts only when it is not
// 0: an unlimited value leaves the encoder its own default.
void set_rate_control(VdoMap *settings, const StreamProfileConfig &config) {
  if (config.has_rate_control && config.rate_control != RATE_CONTROL_NONE) {
    vdo_map_set_uint32(settings, "rc.mode", config.rate_control);
    if (config.rate_control == RATE_CONTROL_ABR) {
      if (config.abr_target)
        vdo_map_set_uint32(settings, "abr.target_bitrate", config.abr_target);
      else if (config.max_bitrate)
        vdo_map_set_uint32(settings, "abr.target_bitrate", config.max_bitrate);
    } else if (config.max_bitrate) {
      vdo_map_set_uint32(settings, "bitrate", config.max_bitrate);
    } else if (config.bitrate) {
      vdo_map_set_uint32(settings, "bitrate", config.bitrate);
    }
    return;
  }
  // No mode, or "none": the strongest bitrate given picks the mode.
  if (config.abr_target) {
    vdo_map_set_uint32(settings, "rc.mode", RATE_CONTROL_ABR);
    vdo_map_set_uint32(settings, "abr.target_bitrate", config.abr_target);
  } else if (config.max_bitrate) {
    vdo_map_set_uint32(settings, "rc.mode", RATE_CONTROL_MBR);
    vdo_map_set_uint32(settings, "bitrate", config.max_bitrate);
  } else if (config.bitrate) {
    vdo_map_set_uint32(settings, "bitrate", config.bitrate);
  }
}

}  // namespace

VdoMap *build_capture_settings(const StreamProfileConfig &config) {
  VdoMap *settings = vdo_map_new();
  vdo_map_set_uint32(settings, "format", video_format(config.codec).vdo_format);
  vdo_map_set_boolean(settings, "frame.chunks", TRUE);
  if (config.has_camera) vdo_map_set_uint32(settings, "input", config.camera);
  if (config.has_channel) vdo_map_set_uint32(settings, "channel", config.channel);
  if (config.has_fps) vdo_map_set_double(settings, "framerate", config.fps);
  if (config.has_compression) vdo_map_set_uint32(settings, "compression", config.compression);
  set_rate_control(settings, config);
  if (config.has_resolution)
    vdo_map_set_pair32u(settings, "resolution", config.width, config.height);
  else
    vdo_map_set_pair32u(settings, "resolution", 640, 360);
  return settings;
}
