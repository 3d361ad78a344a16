#include "sync_observer.h"

#include "io_error.h"

namespace quorrel {

void logFailure(SyncObserver& observer, const std::exception& error) {
  observer.log(QString::fromUtf8(error.what()));
  if (const auto* io = dynamic_cast<const InOutError*>(&error); io && !io->cause().empty())
    observer.log(QString::fromUtf8(io->cause()));
}

}  // namespace quorrel
