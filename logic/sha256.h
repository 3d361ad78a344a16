#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <memory>

class QIODevice;

namespace quorrel {

// SHA-256 over bytes that come piece by piece, at the speed of the machine's
// own instructions for it: every byte a fetch writes and every byte of a
// game file checked against the manifest passes through it, so a slower one
// would be what caps a transfer.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void addData(QByteArrayView bytes);
  // Adds what `device` holds from where it stands to its end; false when it
  // cannot be read.
  bool addData(QIODevice& device);
  // The 32 bytes of the digest of everything added; the hash starts anew.
  QByteArray result();

  static QByteArray of(QByteArrayView bytes);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

}  // namespace quorrel
