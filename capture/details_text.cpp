// Formats and publishes the profile details and the stream details.
#include "capture/details_text.h"

#include <syslog.h>

#include "base/mutex_lock.h"
#include "base/log_text.h"
#include "capture/utf8_text.h"

namespace {

// Names and texts from the request go into the details with their control
// bytes written out, so the only line feeds are those between the lines.
std::string profile_label(const char *profile_name) {
  return escape_control_bytes(profile_name && profile_name[0] ? profile_name : kDefaultProfileLabel);
}

}  // namespace

const char *rate_control_label(RateControlMode mode) {
  switch (mode) {
    case RATE_CONTROL_CBR:
      return "CBR";
    case RATE_CONTROL_VBR:
      return "VBR";
    case RATE_CONTROL_MBR:
      return "MBR";
    case RATE_CONTROL_ABR:
      return "ABR";
    default:
      return "None";
  }
}

void append_bitrate_line(GString *text, const char *label, uint32_t bits_per_second) {
  if (bits_per_second == 0) {
    g_string_append_printf(text, "\n%s: unlimited", label);
  } else if (bits_per_second < 1000000) {
    // Rounded up, so a small non-zero rate never reads as 0 kbps.
    g_string_append_printf(text, "\n%s: %u kbps", label, (bits_per_second + 999) / 1000);
  } else {
    g_string_append_printf(text, "\n%s: %.2f Mbps", label, bits_per_second / 1000000.0);
  }
}

GString *format_profile_details(const StreamProfileConfig &config, const char *profile_name) {
  GString *text = g_string_new(nullptr);
  g_string_append_printf(text, "Name: %s", profile_label(profile_name).c_str());
  if (config.has_camera) g_string_append_printf(text, "\nInput: %u", config.camera);
  if (config.has_channel) g_string_append_printf(text, "\nChannel: %u", config.channel);
  if (config.has_resolution)
    g_string_append_printf(text, "\nResolution: %ux%u", config.width, config.height);
  if (config.has_fps) g_string_append_printf(text, "\nFrame rate: %.2f fps", config.fps);
  if (config.has_compression) g_string_append_printf(text, "\nCompression: %u", config.compression);
  if (config.has_codec) g_string_append_printf(text, "\nVideo codec: %s", config.codec_label);
  if (config.has_h264_profile) g_string_append_printf(text, "\nH.264 profile: %s",
                           escape_control_bytes(config.h264_profile).c_str());
  if (config.has_keyframe_interval)
    g_string_append_printf(text, "\nKeyframe interval: %u", config.keyframe_interval);
  if (config.has_rate_control)
    g_string_append_printf(text, "\nRate control: %s", rate_control_label(config.rate_control));
  // Presence, not value: a key given as "unlimited" shows up as such.
  if (config.has_bitrate) append_bitrate_line(text, "Bitrate", config.bitrate);
  if (config.has_max_bitrate) append_bitrate_line(text, "Max bitrate", config.max_bitrate);
  if (config.has_abr_target) append_bitrate_line(text, "ABR target", config.abr_target);
  if (config.has_audio) g_string_append_printf(text, "\nAudio: %s", config.audio);
  if (config.has_overlays) g_string_append_printf(text, "\nOverlays: %s", escape_control_bytes(config.overlays).c_str());
  return text;
}

GString *format_stream_details(const StreamProfileConfig &config, const char *profile_name,
                               bool silent_audio, uint32_t width, uint32_t height,
                               uint32_t fps) {
  GString *text = g_string_new(nullptr);
  const VideoFormat &format = video_format(config.codec);
  g_string_append_printf(text, "Video: %s %ux%u @ %u fps\nProfile: %s", format.label, width,
                         height, fps, profile_label(profile_name).c_str());
  if (format.enhanced_rtmp) g_string_append(text, "\nRTMP mode: Enhanced RTMP required");
  if (config.has_camera) g_string_append_printf(text, "\nInput: %u", config.camera);
  if (config.has_channel) g_string_append_printf(text, "\nChannel: %u", config.channel);
  if (config.has_compression) g_string_append_printf(text, "\nCompression: %u", config.compression);
  // Mirrors the mode the settings map chose, but an explicit mode shows by presence.
  if (config.has_rate_control)
    g_string_append_printf(text, "\nRate control: %s", rate_control_label(config.rate_control));
  else if (config.abr_target)
    g_string_append(text, "\nRate control: ABR");
  else if (config.max_bitrate)
    g_string_append(text, "\nRate control: MBR");
  if (config.has_max_bitrate) append_bitrate_line(text, "Max bitrate", config.max_bitrate);
  if (config.has_abr_target) append_bitrate_line(text, "ABR target", config.abr_target);
  g_string_append_printf(text, "\nRTMP audio: %s", silent_audio ? "silent AAC" : "none");
  return text;
}

void publish_capture_details(StreamControl &control, const char *profile_details,
                             const char *stream_details) {
  {
    MutexLock lock(control.lock);
    copy_bounded_utf8(control.stream_details, stream_details);
    copy_bounded_utf8(control.profile_details, profile_details);
  }
  syslog(LOG_INFO, "Using stream profile details: %s", profile_details);
  syslog(LOG_INFO, "Resolved VDO stream details: %s", stream_details);
}
