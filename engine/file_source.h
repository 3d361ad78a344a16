#pragma once

#include <QString>
#include <exception>
#include <optional>

#include "partial_copy.h"
#include "stream.h"

namespace quorrel {

// Where the bytes of a game file come from. The fetcher holds one and knows
// nothing else of it: not the protocol, not the server.
class FileSource {
 public:
  virtual ~FileSource() = default;

  // The file as the source has it now, for the check that a partial copy is
  // of it; nothing when the source cannot tell.
  virtual std::optional<partial_copy::Source> version(const QString& remotePath) = 0;
  // Writes the file's bytes from `from` on into `into`, which holds the
  // bytes before it already.
  virtual void fetch(const QString& remotePath, TStream& into, int64_t from) = 0;
  // Whether `error` came from a connection the network lost, so that a new
  // one (reconnect()) may well get past it; a refused file or account, a
  // server that breaks the protocol and every error of the disk would only
  // fail again.
  virtual bool lostConnection(const std::exception& error) const = 0;
  // A new connection in the place of a lost one.
  virtual void reconnect() = 0;
};

}  // namespace quorrel
