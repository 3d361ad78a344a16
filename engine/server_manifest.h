#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "manifest.h"
#include "sftp_session.h"
#include "update_keys.h"

namespace quorrel {

// The patch server's manifest as the walk found it at the root of the tree:
// the sizes the listing gave it and its signature, if any.
struct ManifestListing {
  std::optional<uint64_t> manifestSize;
  std::optional<uint64_t> signatureSize;
};

// Reads the manifest the server publishes, and trusts it only as the build
// says: with an update key, only when one of its trusted keys signed it, so that a
// patch server in other hands cannot make the launcher accept files of its
// own. Nothing when the server publishes none; ReleaseRefused when it cannot
// be trusted, ManifestError when it cannot be read.
std::optional<manifest::Manifest> readServerManifest(TSftpSession& session,
                                                     const QString& remoteRoot,
                                                     const ManifestListing& listed,
                                                     UpdateKeys& keys);

}  // namespace quorrel
