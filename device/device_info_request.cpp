// The basicdeviceinfo request with libcurl and the capped response buffer.
#include "device/device_info_request.h"

#include <curl/curl.h>

#include <cstring>

#include "base/owners.h"
#include "device/device_info_json.h"

namespace {

constexpr const char *kDeviceInfoUrl = "http://127.0.0.12/axis-cgi/basicdeviceinfo.cgi";
constexpr const char kRequestBody[] = "{\"apiVersion\":\"1.3\",\"method\":\"getAllProperties\"}";
constexpr long kConnectTimeoutMs = 1000;
constexpr long kTotalTimeoutMs = 3000;
constexpr const char *kUserAgent = "Corvane/0.2.34";

// POSTs the request; true when the answer is usable: the transfer
// completed, the status is 200 and the body was not cut.
bool perform_request(CURL *curl, curl_slist *headers, SecretText credential,
                     ResponseBuffer &response) {
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

  const CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // The credential served this one request: drop libcurl's copy and ours now.
  curl_easy_setopt(curl, CURLOPT_USERPWD, nullptr);
  credential.reset();

  // A failed transfer, another status or an over-long body is dropped silently.
  return result == CURLE_OK && status == 200 && !response.truncated;
}

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

void request_device_info(SecretText credential, DeviceIdentity &identity,
                         IdentityWarnings &warnings) {
  CurlOwner curl(curl_easy_init());
  HeaderListOwner headers(curl_slist_append(nullptr, "Content-Type: application/json"));
  ResponseBuffer response{g_string_sized_new(512), false};
  if (curl && headers && response.body &&
      perform_request(curl.get(), headers.get(), std::move(credential), response))
    read_device_info_body(response.body->str, response.body->len, identity, warnings);
  // The one release path, in this order: header list, easy handle, body.
  headers.reset();
  curl.reset();
  if (response.body) g_string_free(response.body, TRUE);
}
