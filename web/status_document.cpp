// The status document, the error document and json_escape.
#include "web/status_document.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "base/bounded_text.h"
#include "base/mutex_lock.h"
#include "app/resume_state.h"
#include "app/stream_control.h"
#include "device/device_identity.h"
#include "web/http_server.h"

namespace {

// Length of the well-formed UTF-8 sequence that starts at `text`, or 0 when
// the bytes there are not one (stray continuation byte, overlong form,
// surrogate, beyond U+10FFFF, or cut short by the end of the text).
std::size_t utf8_sequence_length(const unsigned char *text) {
  unsigned char lead = text[0];
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text[1] < low || text[1] > high) return 0;
  // A NUL fails the test, so nothing past the end of the text is read.
  for (std::size_t i = 2; i < length; ++i)
    if ((text[i] & 0xC0) != 0x80) return 0;
  return length;
}

const char *two_byte_escape(unsigned char byte) {
  switch (byte) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return nullptr;
  }
}

// The identity as both documents show it: all five fields blank unless the
// serial number is known. Called without any lock held.
void read_identity(AppState &app, char (&mac_address)[kMacAddressSize], DeviceIdentity &identity) {
  if (!read_mac_address(mac_address)) mac_address[0] = '\0';
  if (!device_identity_get(app.identity, app.parameters, app.curl_ready, identity))
    identity = {};
}

const char *json_bool(bool value) { return value ? "true" : "false"; }

}  // namespace

void json_escape(const char *source, char *destination, std::size_t capacity) {
  if (capacity == 0) return;
  const auto *byte = reinterpret_cast<const unsigned char *>(source ? source : "");
  std::size_t used = 0;
  while (*byte && used + 1 < capacity) {
    if (const char *pair = two_byte_escape(*byte)) {
      // Skipped when the pair does not fit; a later plain byte may still take the last position.
      if (used + 2 < capacity) {
        destination[used++] = pair[0];
        destination[used++] = pair[1];
      }
      ++byte;
    } else if (*byte < 0x20) {
      ++byte;
    } else if (*byte < 0x80) {
      destination[used++] = static_cast<char>(*byte++);
    } else if (std::size_t length = utf8_sequence_length(byte); length == 0) {
      ++byte;  // not UTF-8: dropped, so every document stays valid JSON
    } else {
      if (used + length < capacity) {
        std::memcpy(destination + used, byte, length);
        used += length;
      }
      byte += length;
    }
  }
  destination[used] = '\0';
}

void format_status_document(AppState &app, char *out, std::size_t capacity) {
  char mac_address[kMacAddressSize];
  DeviceIdentity identity;
  read_identity(app, mac_address, identity);
  char mac_json[36], serial_json[64], model_json[256], os_json[128], chip_json[128], arch_json[64];
  json_escape(mac_address, mac_json, sizeof mac_json);
  json_escape(identity.serial_number, serial_json, sizeof serial_json);
  json_escape(identity.device_model, model_json, sizeof model_json);
  json_escape(identity.os_version, os_json, sizeof os_json);
  json_escape(identity.chip, chip_json, sizeof chip_json);
  json_escape(identity.architecture, arch_json, sizeof arch_json);

  bool running;
  uint64_t frames_sent, bytes_sent, last_packet_bytes;
  uint32_t current_bitrate;
  char live_destination[sizeof app.stream.destination];
  char profile_json[256], stream_details_json[2048], profile_details_json[2048], last_error_json[1024];
  {
    MutexLock lock(app.stream.lock);
    const StreamControl &control = app.stream;
    running = control.running != 0;
    frames_sent = control.frames_sent;
    bytes_sent = control.bytes_sent;
    last_packet_bytes = control.last_packet_bytes;
    current_bitrate = running ? control.current_bitrate : 0;
    copy_bounded(live_destination, control.destination);
    json_escape(control.profile_name, profile_json, sizeof profile_json);
    json_escape(control.stream_details, stream_details_json, sizeof stream_details_json);
    json_escape(control.profile_details, profile_details_json, sizeof profile_details_json);
    json_escape(control.last_error, last_error_json, sizeof last_error_json);
  }

  ResumeState saved;
  bool loaded = resume_state_load(app.parameters, saved);
  const char *destination = live_destination[0]               ? live_destination
                            : loaded && saved.destination[0] ? saved.destination
                                                             : "";
  char destination_json[2048], saved_profile_json[256];
  json_escape(destination, destination_json, sizeof destination_json);
  json_escape(loaded ? saved.profile_name : "", saved_profile_json, sizeof saved_profile_json);
  bool silent_audio = loaded && saved.silent_audio;

  std::snprintf(out, capacity,
                "{\"running\":%s,\"framesSent\":%" PRIu64 ",\"bytesSent\":%" PRIu64
                ",\"lastPacketBytes\":%" PRIu64 ",\"currentBitrate\":%" PRIu32
                ",\"profileName\":\"%s\",\"savedProfileName\":\"%s\",\"destination\":\"%s\""
                ",\"silentAudio\":%s,\"streamDetails\":\"%s\",\"profileDetails\":\"%s\""
                ",\"lastError\":\"%s\",\"macAddress\":\"%s\",\"serialNumber\":\"%s\""
                ",\"deviceModel\":\"%s\",\"axisOsVersion\":\"%s\",\"chip\":\"%s\""
                ",\"architecture\":\"%s\"}",
                json_bool(running), frames_sent, bytes_sent, last_packet_bytes, current_bitrate,
                profile_json, saved_profile_json, destination_json, json_bool(silent_audio),
                stream_details_json, profile_details_json, last_error_json, mac_json, serial_json,
                model_json, os_json, chip_json, arch_json);
}

void format_error_document(AppState &app, const char *message, char *out, std::size_t capacity) {
  char message_json[1024];
  json_escape(message, message_json, sizeof message_json);
  char mac_address[kMacAddressSize];
  DeviceIdentity identity;
  read_identity(app, mac_address, identity);
  char mac_json[36], serial_json[64];
  json_escape(mac_address, mac_json, sizeof mac_json);
  json_escape(identity.serial_number, serial_json, sizeof serial_json);
  // The error document never reports the stream: its first eight members are constant.
  std::snprintf(out, capacity,
                "{\"running\":false,\"framesSent\":0,\"bytesSent\":0,\"lastPacketBytes\":0"
                ",\"currentBitrate\":0,\"profileName\":\"\",\"streamDetails\":\"\""
                ",\"profileDetails\":\"\",\"lastError\":\"%s\",\"macAddress\":\"%s\""
                ",\"serialNumber\":\"%s\"}",
                message_json, mac_json, serial_json);
}

void status_response(mg_connection *conn, AppState &app, int http_status) {
  char document[kStatusDocumentSize];
  format_status_document(app, document, sizeof document);
  json_response(conn, http_status, document);
}

void error_response(mg_connection *conn, AppState &app, int http_status, const char *message) {
  char document[kErrorDocumentSize];
  format_error_document(app, message, document, sizeof document);
  json_response(conn, http_status, document);
}

int handle_status(mg_connection *conn, void *data) {
  AppState &app = *static_cast<AppState *>(data);
  // Every method is answered alike; a body, if any, is left unread.
  stream_reap(app.stream);
  status_response(conn, app, 200);
  return 1;
}
