#include "release_check.h"

#include <QHash>

#include "file_list.h"

namespace quorrel {

namespace {

// Enough to show which files, short of flooding the log with a whole tree.
constexpr int kMostFilesLogged = 20;

}  // namespace

void ReleaseCheck::accept(ReleaseState& releases, const QString& server,
                          SyncObserver& observer) const {
  if (!manifest) {
    if (keyBuiltIn)
      throw ReleaseRefused("The patch server publishes no manifest",
                           {.reason = ReleaseRefusal::Reason::Unsigned});
    return;
  }
  const std::optional<manifest::Release>& release = manifest->release();
  if (!release) {
    if (keyBuiltIn)
      throw ReleaseRefused("The patch server's manifest names no release",
                           {.reason = ReleaseRefusal::Reason::NoRelease});
    return;
  }
  const std::int64_t accepted = releases.highest(server);
  if (release->version < accepted)
    throw ReleaseRefused(QStringLiteral("The patch server offers release %1, older than release "
                                        "%2, which this launcher accepted before")
                             .arg(release->version)
                             .arg(accepted)
                             .toStdString(),
                         {.reason = ReleaseRefusal::Reason::Older,
                          .release = release->version,
                          .accepted = accepted});
  if (release->expires < now)
    throw ReleaseRefused(QStringLiteral("The patch server's release %1 expired at %2")
                             .arg(release->version)
                             .arg(manifest::expiryText(release->expires))
                             .toStdString(),
                         {.reason = ReleaseRefusal::Reason::Expired,
                          .release = release->version,
                          .expired = release->expires});
  requireServedWhole(release->version, observer);
  // A record that cannot be written costs only the next run's check against
  // this release; the update it guards goes on.
  try {
    releases.accept(server, release->version);
  } catch (const Exception& error) {
    observer.log(QString::fromUtf8(error.what()));
  }
  observer.log(QStringLiteral("Release %1 of the patch server, trusted until %2")
                   .arg(release->version)
                   .arg(manifest::expiryText(release->expires)));
}

// A release the server serves only in part would leave a game of two
// releases, or fetch files no digest can check: none of it is taken.
void ReleaseCheck::requireServedWhole(std::int64_t release, SyncObserver& observer) const {
  QHash<QString, std::int64_t> listedSizes;
  for (const QString& line : fileList) {
    try {
      const file_list::Line listed = file_list::parse(line);
      listedSizes.insert(listed.remotePath.mid(remoteRoot.size() + 1), listed.size);
    } catch (const Exception&) {
      // The plan stops the flow at this line and says why.
    }
  }
  int problems = 0;
  for (const manifest::Entry& entry : manifest->entries()) {
    const auto listed = listedSizes.constFind(entry.path);
    QString problem;
    if (listed == listedSizes.constEnd())
      problem = QStringLiteral("%1: named in release %2, not listed by the patch server")
                    .arg(entry.path)
                    .arg(release);
    else if (*listed != entry.size)
      problem = QStringLiteral("%1: %2 bytes in release %3, %4 bytes on the patch server")
                    .arg(entry.path)
                    .arg(entry.size)
                    .arg(release)
                    .arg(*listed);
    if (problem.isEmpty()) continue;
    if (++problems <= kMostFilesLogged) observer.log(problem);
  }
  if (problems == 0) return;
  if (problems > kMostFilesLogged)
    observer.log(QStringLiteral("... and %1 more such files").arg(problems - kMostFilesLogged));
  throw ReleaseRefused(QStringLiteral("The patch server does not serve release %1 whole: %2 of "
                                      "its files are missing or of another size")
                           .arg(release)
                           .arg(problems)
                           .toStdString(),
                       {.reason = ReleaseRefusal::Reason::Incomplete, .release = release});
}

}  // namespace quorrel
