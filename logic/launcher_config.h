#pragma once

#include <QString>
#include <QStringList>

namespace quorrel {

// Where the launcher finds its servers and pages. main() takes the values the
// build was configured with; tests and the demo point them at 127.0.0.1.
struct LauncherConfig {
  QString patchHost;
  int patchPort = 22;
  QString patchAccount;  // both the user name and the password
  QString webUrl;        // the launcher distribution server, without a trailing "/"
  QString logonHost;
  QString siteUrl;
  QString communityUrl;
  QString talentsUrl;
  QString projectUrl;
  QString caFile;             // empty: the system's CAs only
  QStringList hostKeySha256;  // empty: trust on first use
  QString updatePublicKey;    // Ed25519 key (32 bytes, base64) that signs builds; empty: unsigned
  // The https:// base URLs of the mirrors of the game files' objects, tried
  // in order when the manifest names none of its own.
  QStringList mirrors;

  static LauncherConfig fromBuild();
};

}  // namespace quorrel
