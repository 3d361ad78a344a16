// The patch update and the fresh install, as the window starts and ends them:
// the engine does the work; the window chooses the folder, shows how each
// flow ends, and which button the player gets.
#include <QCoreApplication>
#include <QDir>

#include "colours.h"
#include "form1.h"

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

// The update leaves the game as it is, to be started, whatever kept it from
// its end; a flow the player stopped reports nothing.
void TForm1::showFlowEnd(FlowKind kind, const FlowResult& result) {
  const bool update = kind == FlowKind::Update;
  switch (result.end) {
    case FlowEnd::Done:
      finishFlow(kind, result.changed);
      return;
    case FlowEnd::Stopped:
    case FlowEnd::InstallDeclined:
      return;
    case FlowEnd::FolderBusy:
      setStatus(kWhite, QStringLiteral("Another launcher is updating this game folder."));
      break;
    case FlowEnd::ProtectedFolder:
      showProtectedFolderStatus();
      break;
    case FlowEnd::NoConnection:
      setStatus(kRed, QStringLiteral("Cannot connect to patch server. Try again later."));
      // The end state belongs to the folder the flow worked in; when the
      // player has chosen another meanwhile, that one is checked instead.
      if (wow_path != flowFolder_) {
        WoWFolderCheck();
        return;
      }
      break;
    case FlowEnd::NoRoom:
      setStatus(kRed, QStringLiteral("Not enough free space on the game folder's disk: %1 to "
                                     "download, %2 free.")
                          .arg(byteCountText(result.shortfall.needed),
                               byteCountText(result.shortfall.free)));
      break;
  }
  if (update) showPlay(true);
}

void TForm1::finishFlow(FlowKind kind, bool changed) {
  customProgressBar(100);
  if (wow_path != flowFolder_) {
    WoWFolderCheck();
    return;
  }
  showPlay(true);
  if (kind == FlowKind::Update) {
    setStatus(kWhite, changed ? QStringLiteral("Update complete. Ready to play!")
                              : QStringLiteral("Game up to date. Ready to play!"));
    return;
  }
  install->setEnabled(false);
  setStatus(kWhite, QStringLiteral("Ready to play!"));
  QCoreApplication::processEvents();
}

}  // namespace quorrel
