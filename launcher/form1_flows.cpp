// The patch update and the fresh install, as the window starts and ends them:
// the engine does the work; the window chooses the folder, shows how each
// flow ends, and which button the player gets.
#include <QCoreApplication>
#include <QDir>

#include "colours.h"
#include "form1.h"
#include "transfer_rate.h"

namespace quorrel {

void TForm1::startUpdateClick(QObject*) {
  runFlow(FlowKind::Update);
}

void TForm1::installClick(QObject*) {
  runFlow(FlowKind::Install);
}

// One flow at a time, on the game folder that was chosen when it started.
void TForm1::runFlow(FlowKind kind) {
  if (flowUnderWay_) return;
  flowUnderWay_ = true;
  struct EndFlow {
    bool& underWay;
    ~EndFlow() { underWay = false; }
  } endFlow{flowUnderWay_};
  flowFolder_ = wow_path;
  play->setEnabled(false);  // a half-written folder is never started
  struct HideRate {
    TLabel* label;
    QTimer* timer;
    ~HideRate() {
      timer->stop();
      label->hide();
    }
  } hideRate{transfer_rate, rateTimer_};
  const FlowResult result = engine.run({kind, flowFolder_, remote_root, storedSpeedLimit()});
  showFlowEnd(kind, result);
}

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

// The update leaves the game as it is, to be started, whatever kept it from
// its end; a flow the player stopped reports nothing.
void TForm1::showFlowEnd(FlowKind kind, const FlowResult& result) {
  const std::optional<StatusLine> status = flowEndStatus(kind, result);
  switch (result.end) {
    case FlowEnd::Done:
      finishFlow(kind, result.changed);
      return;
    case FlowEnd::Stopped:
    case FlowEnd::InstallDeclined:
      return;
    case FlowEnd::ProtectedFolder:
      showProtectedFolderStatus();
      break;
    case FlowEnd::NoConnection:
      setStatus(status->colour, status->text);
      // The end state belongs to the folder the flow worked in; when the
      // player has chosen another meanwhile, that one is checked instead.
      if (wow_path != flowFolder_) {
        WoWFolderCheck();
        return;
      }
      break;
    case FlowEnd::FolderBusy:
    case FlowEnd::NoRoom:
    case FlowEnd::Untrusted:
      setStatus(status->colour, status->text);
      break;
  }
  if (kind == FlowKind::Update) showPlay(true);
}

void TForm1::finishFlow(FlowKind kind, bool changed) {
  customProgressBar(100);
  if (wow_path != flowFolder_) {
    WoWFolderCheck();
    return;
  }
  showPlay(true);
  const StatusLine status = *flowEndStatus(kind, {FlowEnd::Done, changed});
  if (kind == FlowKind::Update) {
    setStatus(status.colour, status.text);
    return;
  }
  install->setEnabled(false);
  setStatus(status.colour, status.text);
  QCoreApplication::processEvents();
}

}  // namespace quorrel
