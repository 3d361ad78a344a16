#pragma once

#include <QString>
#include <cstdint>
#include <functional>

#include "sftp_session.h"

namespace quorrel {

// The game folder as the synchronisation writes it: every path is relative
// to it, and nothing is created or written outside it, however the folders
// inside are linked.
class GameFolder {
 public:
  explicit GameFolder(QString root);

  // Creates the folder (one level; its parent exists) unless a folder is there.
  void makeFolder(const QString& relative) const;
  // The size of the file there, or -1 when no file is there.
  int64_t fileSize(const QString& relative) const;
  // Fetches into a temporary file beside the target and, only when `fetch`
  // succeeds, puts it in the target's place; otherwise the old file stays.
  void replaceFile(const QString& relative, const std::function<void(TStream&)>& fetch) const;

 private:
  // An open descriptor of the folder that holds `relative`'s last component.
  class Parent;
  Parent openParent(const QString& relative) const;

  QString root_;
};

}  // namespace quorrel
