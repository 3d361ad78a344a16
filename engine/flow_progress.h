#pragma once

#include <QString>
#include <cstdint>

#include "clock.h"
#include "transfer_rate.h"

namespace quorrel {

// How far a flow's fetches are: the bytes done and still to do, the bytes
// that came from the network, and the speed and time left. The one place
// where a flow's bytes are counted; what shows them only reads them.
class FlowProgress {
 public:
  explicit FlowProgress(Clock& clock) : clock_(clock) {}

  // The flow has `total` bytes to fetch and none done yet.
  void begin(int64_t total);
  // The fetch of a file begins: its offsets count from its first byte.
  void startFile() { fileOffset_ = 0; }
  // The fetch of the current file reached `offset`: what is new to it counts
  // as done and as fetched.
  void reached(int64_t offset);
  // The current file's bytes up to `offset` are there already, kept by its
  // partial copy (fewer than counted so far when a copy was discarded): they
  // move the bytes done, not the speed, and nothing is fetched.
  void keptUpTo(int64_t offset);
  // The current file is fetched once more from its first byte: its size
  // joins the bytes to fetch, and what was fetched of it stays done.
  void refetch(int64_t size);

  int64_t done() const { return done_; }
  int64_t total() const { return total_; }
  // The bytes that came from the network, in all tries.
  int64_t fetched() const { return fetched_; }
  // The offset reached in the file being fetched.
  int64_t fileOffset() const { return fileOffset_; }
  // "12.3 MB/s, 1.2 of 15.0 GB, 3 min left", as things stand now: asked
  // while no byte arrives, it shows the speed falling.
  QString rateText() const;

 private:
  Clock& clock_;
  mutable TransferRate rate_;  // sampled whenever the rate is shown
  int64_t done_ = 0;
  int64_t total_ = 0;
  int64_t fetched_ = 0;
  int64_t fileOffset_ = 0;
};

}  // namespace quorrel
