// Text from outside (requests, stored choices, servers) as it may enter a log line.
#pragma once

#include <string>

// `text` with every control byte written out: "\n", "\r", "\t", and "\xHH"
// for the others (ESC becomes "\x1b", DEL "\x7f"). Everything else, UTF-8
// included, stays byte for byte. A null text gives the empty string.
std::string escape_control_bytes(const char *text);
