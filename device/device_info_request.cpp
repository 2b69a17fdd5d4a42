// The basicdeviceinfo request with libcurl and the capped response buffer.
#include "device/device_info_request.h"

#include <curl/curl.h>

#include <cstring>

#include "device/device_info_json.h"

namespace {

constexpr const char *kDeviceInfoUrl = "http://127.0.0.12/axis-cgi/basicdeviceinfo.cgi";
constexpr const char kRequestBody[] = "{\"apiVersion\":\"1.3\",\"method\":\"getAllProperties\"}";
constexpr long kConnectTimeoutMs = 1000;
constexpr long kTotalTimeoutMs = 3000;
constexpr const char *kUserAgent = "Corvane/0.2.34";

}  // namespace

std::size_t response_buffer_write(char *data, std::size_t size, std::size_t count, void *buffer) {
  std::size_t length = 0;
  if (size == 0 || __builtin_mul_overflow(size, count, &length)) return 0;
  if (length == 0) return 0;
  auto *response = static_cast<ResponseBuffer *>(buffer);
  std::size_t held = response->body->len;
  if (held >= kResponseLimit) {
    response->truncated = true;
    return length;
  }
  std::size_t room = kResponseLimit - held;
  if (length > room) {
    g_string_append_len(response->body, data, static_cast<gssize>(room));
    response->truncated = true;
    return length;
  }
  g_string_append_len(response->body, data, static_cast<gssize>(length));
  return length;
}

void request_device_info(SecretText credential, DeviceIdentity &identity) {
  CURL *curl = curl_easy_init();
  ResponseBuffer response{g_string_sized_new(512), false};
  curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
  if (!curl || !response.body || !headers) {
    if (headers) curl_slist_free_all(headers);
    if (curl) curl_easy_cleanup(curl);
    if (response.body) g_string_free(response.body, TRUE);
    return;
  }

  curl_easy_setopt(curl, CURLOPT_URL, kDeviceInfoUrl);
  curl_easy_setopt(curl, CURLOPT_USERPWD, credential.get());
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kRequestBody);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(sizeof kRequestBody - 1));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "127.0.0.12");
  // Several HTTP server threads may run this at once: no signals or alarms.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, response_buffer_write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);

  CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // The credential served this one request: drop libcurl's copy and ours now.
  curl_easy_setopt(curl, CURLOPT_USERPWD, nullptr);
  credential.reset();

  // A failed transfer, another status or an over-long body is dropped silently.
  if (result == CURLE_OK && status == 200 && !response.truncated)
    read_device_info_body(response.body->str, response.body->len, identity);

  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  g_string_free(response.body, TRUE);
}
