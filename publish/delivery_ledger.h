// Which of the frames counted as sent the server has taken, read from the
// connection's own socket, and the cut that drops the rest when the close
// runs out of time.
#pragma once

#include <cstdint>
#include <deque>

struct DeliveryLedger {
  int socket;  // the connection's TCP socket; -1 when unknown: nothing is tracked
  // Where on the connection each counted frame ends (bytes from its start),
  // for the frames the server has not acknowledged yet.
  std::deque<uint64_t> frame_ends;
  bool cut;                 // the close ran out of time and dropped what was left
  uint64_t dropped_bytes;   // bytes the server had not acknowledged at the cut
  uint64_t dropped_frames;  // counted frames among them
};

// Starts tracking the connection on `socket` (-1: none).
void delivery_ledger_start(DeliveryLedger &ledger, int socket);

// A counted frame has been handed to the connection: notes where it ends.
void delivery_ledger_add_frame(DeliveryLedger &ledger);

// The close is out of time: counts what the server has not acknowledged and
// drops it at once, in one step with the count, so the count is what never
// arrives. Nothing is dropped when everything has arrived.
void delivery_ledger_cut(DeliveryLedger &ledger);

// Forgets the frames that end at or before `acknowledged`; returns how many
// are left.
std::size_t forget_acknowledged(std::deque<uint64_t> &frame_ends, uint64_t acknowledged);
