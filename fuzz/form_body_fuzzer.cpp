// Feeds arbitrary Content-Length values and form bodies to the reading of a
// start or restart request, as the endpoint does once the bytes have
// arrived: length rule, field extraction, validation, truth rule.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "web/control_endpoints.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  // Input: the header value up to the first line feed (a leading 0x01
  // means no header at all), then the bytes the client sends.
  std::string input(reinterpret_cast<const char *>(data), size);
  std::size_t line_end = input.find('\n');
  if (line_end == std::string::npos) return 0;
  std::string header = input.substr(0, line_end);
  std::string sent = input.substr(line_end + 1);
  bool no_header = !header.empty() && header[0] == '\x01';
  header = header.c_str();

  std::size_t length = 0;
  const char *refusal = check_content_length(no_header ? nullptr : header.c_str(), length);
  if (refusal) {
    if (std::strcmp(refusal, no_header ? "Missing request body." : "Request body is empty or too large.") != 0)
      std::abort();
    return 0;
  }
  if (no_header || length < 1 || length > kMaxRequestBody) std::abort();

  // A body shorter than announced is refused before its fields are read;
  // bytes beyond the announced length are never read.
  if (sent.size() < length) return 0;
  char body[kMaxRequestBody + 1];
  std::memcpy(body, sent.data(), length);
  body[length] = '\0';

  StreamForm form;
  std::memset(&form, 0x5A, sizeof form);
  refusal = parse_stream_form(body, length, form);
  std::size_t destination = strnlen(form.destination, sizeof form.destination);
  std::size_t name = strnlen(form.profile_name, sizeof form.profile_name);
  std::size_t parameters = strnlen(form.profile_parameters, sizeof form.profile_parameters);
  if (destination == sizeof form.destination || name == sizeof form.profile_name ||
      parameters == sizeof form.profile_parameters)
    std::abort();  // a field left without its NUL
  if (refusal) {
    const std::string text = refusal;
    if (text != "Missing RTMP destination." && text != "Destination must begin with rtmp://." &&
        text != "Selected stream profile is missing parameters.")
      std::abort();
    return 0;
  }
  if (destination <= 6 || std::strncmp(form.destination, "rtmp://", 7) != 0) std::abort();
  if (name > 0 && parameters == 0) std::abort();
  return 0;
}
