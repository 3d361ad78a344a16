// The status line's text and colour for each way a flow ends.
#include "flow_end_status.h"

#include "colours.h"
#include "transfer_rate.h"

namespace quorrel {

namespace {

// Short enough for the status line; the support log has the whole reason.
QString refusalText(FlowKind kind, const ReleaseRefusal& refusal) {
  const QString refused = kind == FlowKind::Update ? QStringLiteral("Update refused: ")
                                                   : QStringLiteral("Install refused: ");
  switch (refusal.reason) {
    case ReleaseRefusal::Reason::Unsigned:
      return refused + QStringLiteral("the patch server's files are not signed.");
    case ReleaseRefusal::Reason::Unreadable:
      return refused + QStringLiteral("the patch server's manifest cannot be read.");
    case ReleaseRefusal::Reason::NoRelease:
      return refused + QStringLiteral("the patch server's manifest names no release.");
    case ReleaseRefusal::Reason::Older:
      return refused + QStringLiteral("release %1 is older than release %2, installed before.")
                           .arg(refusal.release)
                           .arg(refusal.accepted);
    case ReleaseRefusal::Reason::Expired:
      return refused + QStringLiteral("release %1 expired on %2.")
                           .arg(refusal.release)
                           .arg(refusal.expired.toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")));
    case ReleaseRefusal::Reason::Incomplete:
      return refused + QStringLiteral("the patch server does not serve all of release %1.")
                           .arg(refusal.release);
  }
  return refused;
}

}  // namespace

std::optional<StatusLine> flowEndStatus(FlowKind kind, const FlowResult& result) {
  switch (result.end) {
    case FlowEnd::Done:
      if (kind == FlowKind::Install) return StatusLine{kWhite, QStringLiteral("Ready to play!")};
      return StatusLine{kWhite, result.changed ? QStringLiteral("Update complete. Ready to play!")
                                               : QStringLiteral("Game up to date. Ready to play!")};
    case FlowEnd::Stopped:
    case FlowEnd::InstallDeclined:
      return std::nullopt;
    case FlowEnd::FolderBusy:
      return StatusLine{kWhite, QStringLiteral("Another launcher is updating this game folder.")};
    case FlowEnd::ProtectedFolder:
      return StatusLine{kWhite, QStringLiteral("The game cannot be installed in this folder (the "
                                               "root, your home folder or a system folder). "
                                               "Click here to choose another.")};
    case FlowEnd::NoConnection:
      return StatusLine{kRed, QStringLiteral("Cannot connect to patch server. Try again later.")};
    case FlowEnd::NoRoom:
      return StatusLine{kRed, QStringLiteral("Not enough free space on the game folder's disk: "
                                             "%1 to download, %2 free.")
                                  .arg(byteCountText(result.shortfall.needed),
                                       byteCountText(result.shortfall.free))};
    case FlowEnd::Untrusted:
      return StatusLine{kRed, refusalText(kind, result.refusal)};
  }
  return std::nullopt;
}

}  // namespace quorrel
