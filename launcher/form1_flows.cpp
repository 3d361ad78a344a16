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
