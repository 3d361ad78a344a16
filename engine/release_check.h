#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "manifest.h"
#include "release_state.h"
#include "sync_observer.h"

namespace quorrel {

// Why a flow did not take the patch server's release; nothing was fetched.
struct ReleaseRefusal {
  enum class Reason {
    Unsigned,    // an update key is built in, and the manifest is missing or not its signature's
    Unreadable,  // the manifest is malformed or too large
    NoRelease,   // an update key is built in, and the manifest names no release
    Older,       // below the highest release this launcher accepted from the server
    Expired,     // past the time the release was signed to be trusted until
    Incomplete,  // the listing lacks a file the manifest names, or lists another size
  };
  Reason reason = Reason::Unsigned;
  std::int64_t release = 0;   // the server's, when the manifest names one
  std::int64_t accepted = 0;  // Older: the highest accepted before
  QDateTime expired = {};     // Expired: when
};

// A release the launcher does not take: what() is the support log's full
// reason.
class ReleaseRefused : public ManifestError {
 public:
  ReleaseRefused(const std::string& detail, ReleaseRefusal refusal)
      : ManifestError(detail), refusal_(std::move(refusal)) {}
  const ReleaseRefusal& refusal() const { return refusal_; }

 private:
  ReleaseRefusal refusal_;
};

// What the launcher takes of a patch server's release, so that no server can
// take a player back to an older release, keep one on a release for ever, or
// serve files the signed manifest does not name.
struct ReleaseCheck {
  const std::optional<manifest::Manifest>& manifest;
  bool keyBuiltIn = false;
  // The walk's file list, and the patch tree's root its paths begin with.
  const QStringList& fileList;
  const QString& remoteRoot;
  QDateTime now;

  // ReleaseRefused when the release must not be taken: with an update key,
  // one without a manifest or without a release; one below the highest that
  // `releases` holds for `server`, or past its expiry; one whose files the
  // listing does not serve at the manifest's sizes (each such file is
  // logged). Otherwise the release is recorded as accepted.
  void accept(ReleaseState& releases, const QString& server, SyncObserver& observer) const;

 private:
  void requireServedWhole(std::int64_t release, SyncObserver& observer) const;
};

}  // namespace quorrel
