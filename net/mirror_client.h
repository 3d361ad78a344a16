#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "http_client.h"
#include "stream.h"

namespace quorrel {

// A mirror that is not to be trusted with any object: its certificate was
// refused, or it sent the launcher away from HTTPS. Unlike a missing or wrong
// object, a busy or silent mirror, it fails every object of the flow alike.
class MirrorUntrusted : public HttpError {
 public:
  using HttpError::HttpError;
};

// The web client of the game files' mirrors: static HTTPS hosts or CDNs that
// serve the release's objects, each an immutable file named by its digest.
// A mirror is never trusted: whatever it sends is checked by the caller
// against the signed manifest. This client only makes sure that what it
// writes is the range asked for, over HTTPS, in time. One client serves a
// flow, and keeps its connections from one object to the next.
class MirrorClient {
 public:
  struct Options {
    QString caFile;  // CAs trusted beside the system's; empty for none
    std::chrono::seconds connectTimeout{10};
    // A mirror that moves no byte for this long is given up for the file.
    std::chrono::seconds stallTimeout{15};
    std::int64_t speedLimitBytesPerSecond = 0;  // 0: no cap
    // Called at least every 100 ms while a fetch waits for the network; it
    // may throw to end the fetch.
    std::function<void()> whileWaiting = {};
    // Whether the fetch is to end now; asked at every block that arrives,
    // so that a close ends even a fetch that never waits.
    std::function<bool()> stopped = {};
  };

  explicit MirrorClient(Options options);
  ~MirrorClient();
  MirrorClient(const MirrorClient&) = delete;
  MirrorClient& operator=(const MirrorClient&) = delete;

  // Writes the bytes from `from` to the end of the `size`-byte object at
  // `url` into `into`, which holds the bytes before `from` already. HttpError
  // when the mirror does not give exactly those: no answer, a status other
  // than 200 or 206, another range or length, a redirect away from HTTPS, a
  // certificate not trusted (MirrorUntrusted for that and the redirect), a
  // stall. An error `into` throws ends the fetch and comes out as it is.
  void fetch(const QString& url, std::int64_t from, std::int64_t size, TStream& into);

 private:
  struct Connections;
  Options options_;
  std::unique_ptr<Connections> connections_;
};

}  // namespace quorrel
