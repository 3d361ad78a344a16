#include "launcher_config.h"

#include "server_settings.h"

namespace quorrel {

namespace {

QStringList commaList(const QString& commaSeparated) {
  QStringList items;
  for (const QString& item : commaSeparated.split(',', Qt::SkipEmptyParts)) {
    const QString trimmed = item.trimmed();
    if (!trimmed.isEmpty()) items << trimmed;
  }
  return items;
}

}  // namespace

LauncherConfig LauncherConfig::fromBuild() {
  LauncherConfig config;
  config.patchHost = QString::fromUtf8(build::kPatchHost);
  config.patchPort = build::kPatchPort;
  config.patchAccount = QString::fromUtf8(build::kPatchAccount);
  config.webUrl = QString::fromUtf8(build::kWebUrl);
  while (config.webUrl.endsWith('/')) config.webUrl.chop(1);
  config.logonHost = QString::fromUtf8(build::kLogonHost);
  config.siteUrl = QString::fromUtf8(build::kSiteUrl);
  config.communityUrl = QString::fromUtf8(build::kCommunityUrl);
  config.talentsUrl = QString::fromUtf8(build::kTalentsUrl);
  config.projectUrl = QString::fromUtf8(build::kProjectUrl);
  config.caFile = QString::fromUtf8(build::kCaFile);
  config.hostKeySha256 = commaList(QString::fromUtf8(build::kHostKeySha256));
  config.mirrors = commaList(QString::fromUtf8(build::kMirrors));
  config.updatePublicKey = QString::fromUtf8(build::kUpdatePubKey);
  return config;
}

}  // namespace quorrel
