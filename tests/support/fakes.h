#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStringList>
#include <deque>
#include <functional>
#include <map>
#include <optional>

#include "engine_fakes.h"
#include "exception.h"
#include "platform/platform.h"
#include "qt_printers.h"

namespace quorrel::testing {

// Answers the folder choosers from queues the test fills, and records what they were shown.
struct FakeDialogs : Dialogs {
  std::deque<std::optional<QString>> browserAnswers;
  std::deque<std::optional<QString>> pickerAnswers;
  QStringList browserPreselections;
  QStringList pickerProposals;
  QStringList titles;

  std::optional<QString> browseForFolder(QWidget*, const QString& instruction,
                                         const QString& preselected) override {
    titles << instruction;
    browserPreselections << preselected;
    return next(browserAnswers, "folder browser");
  }
  std::optional<QString> pickFolder(QWidget*, const QString& title,
                                    const QString& proposed) override {
    titles << title;
    pickerProposals << proposed;
    return next(pickerAnswers, "folder dialog");
  }

 private:
  static std::optional<QString> next(std::deque<std::optional<QString>>& answers,
                                     const char* which) {
    if (answers.empty()) {
      ADD_FAILURE() << "the " << which << " opened without an answer prepared";
      return std::nullopt;
    }
    const bool confirmed = answers.front().has_value();
    const QString folder = answers.front().value_or(QString());
    answers.pop_front();
    return confirmed ? std::optional<QString>(folder) : std::nullopt;
  }
};

struct FakeShell : Shell {
  QStringList openedUrls;
  QStringList openedFiles;
  void openUrl(const QString& url) override { openedUrls << url; }
  bool startFails = false;
  bool openFile(const QString& file) override {
    openedFiles << file;
    return !startFails;
  }
};

struct FakeMessageBox : MessageBox {
  struct Shown {
    QString title;
    QString text;
  };
  std::vector<Shown> errors;
  std::vector<Shown> notices;
  void showError(QWidget*, const QString& title, const QString& text) override {
    errors.push_back({title, text});
  }
  void showNotice(QWidget*, const QString& title, const QString& text) override {
    notices.push_back({title, text});
  }
  std::vector<Shown> questions;
  bool answerYes = true;
  bool askYesNo(QWidget*, const QString& title, const QString& text) override {
    questions.push_back({title, text});
    return answerYes;
  }
  QStringList errorTexts() const {
    QStringList texts;
    for (const Shown& shown : errors) texts << shown.text;
    return texts;
  }
};

// Answers every GET with `answer` (by default the launcher's own version, so
// no update is found) and fails every download.
struct FakeHttpClient : HttpClient {
  HttpText answer{200, QStringLiteral("1.0.3")};
  QStringList requests;
  HttpText get(const QString& url) override {
    requests << url;
    return answer;
  }
  void download(const QString& url, const QString&, qint64) override {
    requests << url;
    throw HttpError("no download prepared");
  }
};

struct FakeApplication : Application {
  int quitRequests = 0;
  int systemMoves = 0;
  void requestQuit() override { ++quitRequests; }
  void startSystemMove(QWidget*) override { ++systemMoves; }
  std::function<void()> endOfSession;
  void whenSessionEnds(std::function<void()> handler) override {
    endOfSession = std::move(handler);
  }
  // The test program itself by default: no launcher file name.
  QString programPath = QCoreApplication::applicationFilePath();
  QString executablePath() override { return programPath; }
};

// An in-memory settings key whose failures a test switches on.
struct FakeSettingsStore : SettingsStore {
  std::map<QString, QString> values;
  bool opens = true;
  bool writesFail = false;
  int opened = 0;

  std::unique_ptr<SettingsKey> openKey() override {
    if (!opens) return nullptr;
    ++opened;
    return std::make_unique<Key>(*this);
  }

 private:
  struct Key : SettingsKey {
    explicit Key(FakeSettingsStore& store) : store(store) {}
    QString readString(const QString& name) override {
      auto found = store.values.find(name);
      return found == store.values.end() ? QString() : found->second;
    }
    void writeString(const QString& name, const QString& value) override {
      if (store.writesFail)
        throw SettingsError(QStringLiteral("Failed to set data for '%1'").arg(name).toStdString());
      store.values[name] = value;
    }
    FakeSettingsStore& store;
  };
};

}  // namespace quorrel::testing
