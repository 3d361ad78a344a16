#include "flow_progress.h"

#include <utility>

#include "file_list.h"
#include "progress.h"

namespace quorrel {

void FlowProgress::begin(int64_t total) {
  total_ = total;
  done_ = 0;
  fileOffset_ = 0;
  rate_.begin(total, clock_.now());
}

void FlowProgress::reached(int64_t offset) {
  const int64_t received = progress::newBytes(std::exchange(fileOffset_, offset), offset);
  done_ += received;
  fetched_ += received;
}

void FlowProgress::keptUpTo(int64_t offset) {
  const int64_t step = offset - std::exchange(fileOffset_, offset);
  done_ += step;
  rate_.skip(step);
}

void FlowProgress::refetch(int64_t size) {
  total_ = file_list::addSizes(total_, size);
  rate_.extend(size);
  fileOffset_ = 0;
}

QString FlowProgress::rateText() const {
  rate_.update(done_, clock_.now());
  return rate_.text();
}

}  // namespace quorrel
