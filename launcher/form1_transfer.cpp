// What the flows report, as the window shows it: the status line, the bar,
// the rate line and the log.
#include <QCoreApplication>
#include <QDir>

#include "colours.h"
#include "flow_progress.h"
#include "form1.h"
#include "progress.h"
#include "sync_plan.h"

namespace quorrel {

class TForm1::FlowView : public SyncObserver {
 public:
  explicit FlowView(TForm1& form) : form_(form) {}

  void yield() override { QCoreApplication::processEvents(); }
  void log(const QString& line) override { form_.logLine(line); }
  bool mayInstallInto(const QString& folder) override {
    return form_.platform_.messageBox.askYesNo(
        &form_, form_.messageBoxTitle(),
        QStringLiteral("The folder %1 already holds files. Install the game into it anyway? Files "
                       "of the game's names will be replaced.")
            .arg(QDir::toNativeSeparators(folder)));
  }

  void connecting(FlowKind kind) override {
    if (kind == FlowKind::Update) {
      form_.setStatus(kWhite, QStringLiteral("Checking patch update..."));
    } else {
      form_.setStatus(kWhite, QStringLiteral("Downloading game files..."));
      form_.install->setEnabled(false);
    }
  }
  void listed(FlowKind kind, fxp_names* batch) override {
    if (kind == FlowKind::Update)
      form_.ListingCallback_update(batch);
    else
      form_.ListingCallback(batch);
  }
  void walked(FlowKind kind, const QStringList& fileList) override {
    (kind == FlowKind::Update ? form_.update_memo : form_.remote_file_list) = fileList;
    form_.customProgressBar(0);
  }
  void fetchingBegins(const FlowProgress& progress) override {
    form_.downloaded_bytes = progress.done();
    form_.download_total = progress.total();
    // An update that fetches nothing shows no rate.
    if (progress.total() > 0) form_.rateTimer_->start();
  }
  void fileStarted(FlowKind kind, const FileToSync& file) override {
    form_.sinceTurn_.invalidate();  // the file's first block gives the window its turn
    form_.setStatus(kWhite, (kind == FlowKind::Update ? QStringLiteral("Updating ")
                                                      : QStringLiteral("Downloading ")) +
                                file.relativePath + QStringLiteral("..."));
  }
  void progressed(const FlowProgress& progress) override {
    form_.download_total = progress.total();
    form_.GameDownloadProgressCalback(progress.done(), false);
  }
  void retryWaits(size_t attempt, size_t tries, std::chrono::seconds wait) override {
    const QString text = QStringLiteral("Connection lost; trying again in %1 s (try %2 of %3)")
                             .arg(wait.count())
                             .arg(attempt)
                             .arg(tries);
    form_.setStatus(kWhite, text);
    form_.logLine(text);
  }

 private:
  TForm1& form_;
};

std::unique_ptr<SyncObserver> TForm1::makeFlowView() {
  return std::make_unique<FlowView>(*this);
}

// The window's turn in the walk of the patch server's tree: it repaints and
// takes a close, which ends the walk.
bool TForm1::ListingCallback(fxp_names*) {
  QCoreApplication::processEvents();
  return true;
}

bool TForm1::ListingCallback_update(fxp_names* names) {
  return ListingCallback(names);
}

// `bytescopied` is what the flow has done of its bytes to fetch.
bool TForm1::GameDownloadProgressCalback(int64_t bytescopied, bool) {
  downloaded_bytes = bytescopied;
  // In the window's log only: one line per block would flood the file.
  Memo1 << QStringLiteral("%1/%2").arg(downloaded_bytes).arg(download_total);
  customProgressBar(progress::percentOf(downloaded_bytes, download_total));
  // The rate line changes a few times a second at most: often enough to read.
  if (platform_.clock.now() - rateShown_ >= std::chrono::milliseconds(250)) showTransferRate();
  // Often enough to repaint smoothly and take a close at once.
  constexpr qint64 kTurnEveryMs = 15;
  if (!sinceTurn_.isValid() || sinceTurn_.elapsed() >= kTurnEveryMs) {
    QCoreApplication::processEvents();
    sinceTurn_.start();
  }
  return true;
}

}  // namespace quorrel
