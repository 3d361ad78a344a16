// The launcher's self-update, run by the real window with the real web client
// against an HTTPS server on 127.0.0.1, in a temporary current folder.

#include <QDirIterator>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "form_harness.h"
#include "https_server.h"
#include "manifest.h"
#include "package_files.h"
#include "self_update_files.h"
#include "sha256.h"
#include "signing_key.h"
#include "sshd_server.h"
#include "test_servers.h"
#include "wine.h"

namespace quorrel::testing {
namespace {

using namespace std::chrono_literals;
using Response = HttpsServer::Response;
using Encoding = HttpsServer::Encoding;

const QString kChecking = "Checking for launcher updates...";
const QString kCheckFailed = "Launcher update check failed. Skipping launcher update.";
const QString kNotFound = "Remote update file not found. Skipping launcher update.";
const std::string kVersionPath = "/launcher/version.txt";
const std::string kBuildPath = "/launcher/" + kMainExecutable.toStdString();

QByteArray contentOf(const QString& file) {
  QFile in(file);
  return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

std::string bytes(const QByteArray& data) {
  return data.toStdString();
}

// A launcher build that runs: the stand-in program (beside the tests) with `mark` appended.
QByteArray standInBuild(const QByteArray& mark) {
  return contentOf(QCoreApplication::applicationDirPath() + "/" + QUORREL_STAND_IN_FILE) +
         "\nbuild:" + mark;
}

void writeExecutable(const QString& file, const QByteArray& content) {
  FormHarness::touch(file, content);
  QFile::setPermissions(file, QFile::permissions(file) | QFile::ExeOwner);
}

// The lines "<file name> <folder>" of the stand-in programs started in
// `folder`, once there are `count` of them or ten seconds have passed.
QStringList startedPrograms(const QString& folder, int count) {
  QStringList lines;
  for (auto waited = 0ms; waited < 10s; waited += 20ms) {
    lines = QString::fromUtf8(contentOf(folder + "/started.log")).split('\n', Qt::SkipEmptyParts);
    if (lines.size() >= count) break;
    std::this_thread::sleep_for(20ms);  // no event processing: the window's timer stays put
  }
  return lines;
}

bool isExecutable(const QString& file) {
  return QFileInfo(file).permissions().testFlag(QFile::ExeOwner);
}

// One run of the launcher in the current folder, as the program `programPath`.
class LauncherRun {
 public:
  LauncherRun(const QString& programPath, const std::string& webUrl, HttpClient* http) {
    game_ = harness.makeFolder("game", true);
    harness.storeSetting("WoWPath", game_);
    harness.config().webUrl = QString::fromStdString(webUrl);
    harness.application.programPath = programPath;
    http_ = http;
  }

  TForm1& start(Shell* realShell = nullptr) {
    TForm1& form = harness.start(nullptr, realShell, http_);
    form.updateTimer->stop();  // the patch update is not what these tests are about
    return form;
  }

  // The start-up went on past the check to the folder check and found the game.
  void expectStartupCompleted() {
    TForm1& form = harness.form();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.wow_location_label->text(), game_ + QDir::separator());
    EXPECT_EQ(form.remote_root, "/upload");
    EXPECT_TRUE(harness.messageBox.errors.empty())
        << harness.messageBox.errorTexts().join("; ").toStdString();
  }

  FormHarness harness;

 private:
  QString game_;
  HttpClient* http_ = nullptr;
};

// A temporary current folder, the server, and the real web client that
// trusts the server's test CA.
class SelfUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFolder_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder_.path()));
    here = QDir::currentPath();
  }
  void TearDown() override { QDir::setCurrent(savedFolder_); }

  HttpClient* realHttp() {
    if (!http_)
      http_ = std::make_unique<CurlHttpClient>(
          CurlHttpClient::Options{QString::fromStdString(server.caFile().string()), 2s, 1s, 3s});
    return http_.get();
  }
  // A run as `programPath` (a launcher file in the current folder by default)
  // against `webUrl` (the server by default).
  LauncherRun& run(const QString& programPath, const std::string& webUrl = {}) {
    runs_.push_back(std::make_unique<LauncherRun>(
        programPath, webUrl.empty() ? server.url() : webUrl, realHttp()));
    return *runs_.back();
  }
  void serveUpdate(const QByteArray& build, const char* version = "1.0.4") {
    server.serve(kVersionPath, Response(200, version));
    server.serve(kBuildPath, Response(200, bytes(build)));
  }
  bool buildWasRequested() const {
    const auto paths = server.requestedPaths();
    return std::find(paths.begin(), paths.end(), kBuildPath) != paths.end();
  }
  QStringList filesHere() const {
    QStringList files = QDir(here).entryList(QDir::Files | QDir::System | QDir::Hidden);
    files.sort();
    return files;
  }

  HttpsServer server;
  QString here;

 private:
  QTemporaryDir folder_;
  QString savedFolder_;
  std::unique_ptr<CurlHttpClient> http_;
  std::vector<std::unique_ptr<LauncherRun>> runs_;
};

// --- The version check ------------------------------------------------------

enum class Outcome { NoUpdate, Update, CheckFails };
enum class Server { Trusted, Untrusted, Refusing, Silent };

using Routes = std::vector<std::pair<std::string, Response>>;

Routes versionAnswer(const Response& response) {
  return {{kVersionPath, response}};
}

// version.txt reached after `hops` redirects; the first one sets a cookie
// that the last one needs.
Routes redirectChain(int hops) {
  Routes routes;
  std::string from = kVersionPath;
  for (int hop = 1; hop <= hops; ++hop) {
    const std::string to = "/hop" + std::to_string(hop);
    routes.emplace_back(from, HttpsServer::redirect(to));
    from = to;
  }
  routes.front().second.header("Set-Cookie", "visitor=abc; Path=/");
  routes.emplace_back(from, Response(200, "1.0.4").requireCookie("visitor=abc"));
  return routes;
}

std::string utf16(const char16_t* text, bool bigEndian, bool withBom) {
  std::u16string units = text;
  if (withBom) units.insert(units.begin(), u'\xFEFF');
  std::string out;
  for (char16_t unit : units) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out += bigEndian ? std::string{high, low} : std::string{low, high};
  }
  return out;
}

struct CheckCase {
  const char* name;
  Routes routes;
  Outcome outcome;
  // An update: the version the notice names. A failed check: part of the reason logged.
  const char* detail = "";
  Server server = Server::Trusted;
};

const CheckCase kCheckCases[] = {
    {"SameVersion", versionAnswer(Response(200, "1.0.3")), Outcome::NoUpdate},
    {"HigherPatch", versionAnswer(Response(200, "1.0.4")), Outcome::Update, "1.0.4"},
    {"TwoDigitPatch", versionAnswer(Response(200, "1.0.10")), Outcome::Update, "1.0.10"},
    {"MinorVersionReadsAsEleven", versionAnswer(Response(200, "1.1")), Outcome::NoUpdate},
    {"MajorVersionReadsAsTwenty", versionAnswer(Response(200, "2.0")), Outcome::NoUpdate},
    {"TenCharactersAreIgnored", versionAnswer(Response(200, "10.10.10.1")), Outcome::NoUpdate},
    {"NineCharactersCount", versionAnswer(Response(200, "10.10.101")), Outcome::Update,
     "10.10.101"},
    {"LeadingSpace", versionAnswer(Response(200, " 1.0.4")), Outcome::Update, " 1.0.4"},
    {"Gzip", versionAnswer(Response(200, "1.0.4").encode(Encoding::Gzip)), Outcome::Update,
     "1.0.4"},
    {"Deflate", versionAnswer(Response(200, "1.0.4").encode(Encoding::Deflate)), Outcome::Update,
     "1.0.4"},
    {"Utf16WithCharset",
     versionAnswer(Response(200, utf16(u"1.0.4", false, true))
                       .header("Content-Type", "text/plain; charset=\"UTF-16\"")),
     Outcome::Update, "1.0.4"},
    {"Utf16BigEndianWithCharset",
     versionAnswer(Response(200, utf16(u"1.0.4", true, false))
                       .header("Content-Type", "text/plain;charset=utf-16be")),
     Outcome::Update, "1.0.4"},
    {"Latin1WithCharset",
     versionAnswer(Response(200, "1.0.4").header("Content-Type", "text/plain; charset=ISO-8859-1")),
     Outcome::Update, "1.0.4"},
    // The byte-order mark is no UTF-8: each of its bytes reads as U+FFFD.
    {"Utf16WithoutCharsetIsReadAsUtf8", versionAnswer(Response(200, utf16(u"1.0.4", false, true))),
     Outcome::CheckFails,
     "'\xEF\xBF\xBD\xEF\xBF\xBD"
     "1"},
    {"UnknownCharset",
     versionAnswer(Response(200, "1.0.4").header("Content-Type", "text/plain; charset=x-quorrel")),
     Outcome::CheckFails, "unknown charset \"x-quorrel\""},
    {"FiveRedirectsAreFollowedWithCookies", redirectChain(5), Outcome::Update, "1.0.4"},
    {"SixRedirectsAreTooMany", redirectChain(6), Outcome::CheckFails, "Maximum (5) redirects"},
    {"NotFoundWithAVersionBody", versionAnswer(Response(404, "1.0.4")), Outcome::CheckFails,
     "HTTP status 404"},
    {"TrailingLineBreak", versionAnswer(Response(200, "1.0.4\n")), Outcome::CheckFails,
     "'104\n' is not a valid integer value"},
    {"Empty", versionAnswer(Response(200, "")), Outcome::CheckFails,
     "'' is not a valid integer value"},
    {"HtmlPage", versionAnswer(Response(200, "<html>maintenance</html>")), Outcome::CheckFails,
     "is not a valid integer value"},
    {"StallsAfterTheHeader", versionAnswer(Response(200, "1.0.4 and more").stall()),
     Outcome::CheckFails, "Operation too slow"},
    // Fast enough never to stall, but it would keep the window hidden for minutes.
    {"TricklesPastTheDeadline",
     versionAnswer(Response(200, "1.0.4" + std::string(200, ' ')).trickle(300ms)),
     Outcome::CheckFails, "Operation timed out"},
#ifdef _WIN32
    {"UntrustedCertificate", versionAnswer(Response(200, "1.0.4")), Outcome::CheckFails,
     "CERT_TRUST", Server::Untrusted},  // Schannel's words
#else
    {"UntrustedCertificate", versionAnswer(Response(200, "1.0.4")), Outcome::CheckFails,
     "certificate", Server::Untrusted},
#endif
    {"ConnectionRefused", {}, Outcome::CheckFails, "Failed to connect", Server::Refusing},
    {"SilentBeforeTheHandshake", {}, Outcome::CheckFails, "timeout", Server::Silent},
};

class VersionCheckTest : public SelfUpdateTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(VersionCheckTest, UpdatesOnlyForAHigherVersionAndNeverHaltsTheStartup) {
  const CheckCase& c = GetParam();
  const QByteArray build = standInBuild("new");
  server.serve(kBuildPath, Response(200, bytes(build)));
  std::unique_ptr<HttpsServer> untrusted;
  std::unique_ptr<RefusingPort> refusing;
  std::unique_ptr<SilentServer> silent;
  HttpsServer* answering = &server;
  std::string webUrl = server.url();
  switch (c.server) {
    case Server::Trusted:
      break;
    case Server::Untrusted:
      untrusted = std::make_unique<HttpsServer>(HttpsServer::Certificate::FromAnotherCa);
      answering = untrusted.get();
      webUrl = untrusted->url();
      break;
    case Server::Refusing:
      refusing = std::make_unique<RefusingPort>();
      webUrl = "https://127.0.0.1:" + std::to_string(refusing->port());
      break;
    case Server::Silent:
      silent = std::make_unique<SilentServer>();
      webUrl = "https://127.0.0.1:" + std::to_string(silent->port());
      break;
  }
  for (const auto& [path, response] : c.routes) answering->serve(path, response);

  LauncherRun& launcher = run(here + "/" + kMainExecutable, webUrl);
  TForm1& form = launcher.start();
  FormHarness& h = launcher.harness;

  launcher.expectStartupCompleted();
  EXPECT_TRUE(h.sleeper.sleeps.empty());
  const QString updateFile = here + "/" + kUpdateFile;
  switch (c.outcome) {
    case Outcome::NoUpdate:
      EXPECT_EQ(form.connstatus->text(), kChecking) << form.Memo1.join('\n').toStdString();
      EXPECT_EQ(form.connstatus->fontColor(), kWhite);
      EXPECT_FALSE(buildWasRequested());
      EXPECT_TRUE(h.messageBox.notices.empty());
      EXPECT_TRUE(h.shell.openedFiles.isEmpty());
      EXPECT_EQ(h.application.quitRequests, 0);
      EXPECT_FALSE(QFileInfo::exists(updateFile));
      break;
    case Outcome::Update: {
      ASSERT_EQ(h.messageBox.notices.size(), 1u);
      EXPECT_EQ(h.messageBox.notices[0].text,
                QString("New version available(v%1). Launcher will now update and restart.")
                    .arg(c.detail));
      EXPECT_EQ(h.messageBox.notices[0].title, "selfupdate_tests");
      EXPECT_EQ(contentOf(updateFile), build);
      EXPECT_TRUE(isExecutable(updateFile));
      EXPECT_EQ(h.shell.openedFiles, QStringList{kUpdateFile});
      EXPECT_EQ(h.application.quitRequests, 1);
      EXPECT_EQ(form.connstatus->text(), kChecking);
      break;
    }
    case Outcome::CheckFails:
      EXPECT_EQ(form.connstatus->text(), kCheckFailed);
      EXPECT_EQ(form.connstatus->fontColor(), kRed);
      ASSERT_EQ(form.Memo1.size(), 1);
      EXPECT_TRUE(form.Memo1[0].startsWith("Launcher update check failed: "));
      EXPECT_TRUE(form.Memo1[0].contains(QString::fromUtf8(c.detail)))
          << form.Memo1[0].toStdString();
      EXPECT_FALSE(buildWasRequested());
      EXPECT_TRUE(h.messageBox.notices.empty());
      EXPECT_TRUE(h.shell.openedFiles.isEmpty());
      EXPECT_EQ(h.application.quitRequests, 0);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, VersionCheckTest, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The download -------------------------------------------------------------

using RoutesOfBuild = std::function<Routes(const std::string& build)>;

// Where the download fails, a left-over update file never passes for the new build.
struct DownloadCase {
  const char* name;
  RoutesOfBuild routes;
  bool succeeds;
  const char* loggedReason = "";
  bool bodyEndsWithTheConnection = false;
};

const DownloadCase kDownloadCases[] = {
    {"Complete",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200, build)}};
     },
     true},
    {"AfterARedirect",
     [](const std::string& build) {
       return Routes{{kBuildPath, HttpsServer::redirect("/builds/new")},
                     {"/builds/new", Response(200, build)}};
     },
     true},
    {"WithoutALength",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200, build).endByClosing()}};
     },
     true, "", true},
    {"NotFound",
     [](const std::string&) {
       return Routes{{kBuildPath, Response(404, "gone")}};
     },
     false, "HTTP status 404"},
    {"WholeBuildWithAnErrorStatus",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(500, build)}};
     },
     false, "HTTP status 500"},
    {"CutShort",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200, build).announce(build.size() * 2)}};
     },
     false, "transfer closed", true},
    {"AnnouncedAboveTheCap",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200, build).announce(std::uint64_t{257} << 20)}};
     },
     false, "Maximum file size exceeded"},
    {"Stalls",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200, build).stall()}};
     },
     false, "Operation too slow"},
    {"TricklesBelowTheMinimumSpeed",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200, build).trickle(50ms)}};
     },
     false, "Operation too slow"},
    // Whole answers of the server that no machine could run as the launcher.
    {"HtmlPage",
     [](const std::string&) {
       return Routes{{kBuildPath, Response(200, "<html><body>Bad gateway</body></html>")}};
     },
     false, "the build is only 37 bytes"},
    {"HtmlPageOfPlausibleSize",
     [](const std::string&) {
       return Routes{{kBuildPath, Response(200, "<html>" + std::string(100000, ' ') + "</html>")}};
     },
     false, "not a program for this machine"},
#ifdef _WIN32
    {"LinuxProgram",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200,
                                           "\x7f"
                                           "ELF" +
                                               build.substr(4))}};
     },
     false, "not a program for this machine"},
    {"ProgramForAnotherProcessor",
     [](const std::string& build) {
       std::string other = build;
       // ARM64's machine number after the PE signature, which the field at 0x3C points to.
       const auto peHeader =
           static_cast<unsigned char>(other[0x3C]) | static_cast<unsigned char>(other[0x3D]) << 8;
       other[peHeader + 4] = static_cast<char>(0x64);
       other[peHeader + 5] = static_cast<char>(0xAA);
       return Routes{{kBuildPath, Response(200, other)}};
     },
     false, "not a program for this machine"},
#else
    {"WindowsProgram",
     [](const std::string& build) {
       return Routes{{kBuildPath, Response(200, "MZ" + build.substr(2))}};
     },
     false, "not a program for this machine"},
    {"ProgramForAnotherProcessor",
     [](const std::string& build) {
       std::string other = build;
       other[18] = 40;  // ARM's machine number in the ELF header
       other[19] = 0;
       return Routes{{kBuildPath, Response(200, other)}};
     },
     false, "not a program for this machine"},
#endif
};

class DownloadTest : public SelfUpdateTest, public ::testing::WithParamInterface<DownloadCase> {};

// A refused build: no update file, the red notice, the reason in the log, and
// nothing started.
void expectUpdateRefused(TForm1& form, FormHarness& h, const QString& updateFile,
                         const QString& loggedReason) {
  EXPECT_FALSE(QFileInfo::exists(updateFile));
  EXPECT_EQ(form.connstatus->text(), kNotFound);
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  ASSERT_EQ(form.Memo1.size(), 1);
  EXPECT_TRUE(form.Memo1[0].startsWith("Launcher update download failed: "));
  EXPECT_TRUE(form.Memo1[0].contains(loggedReason)) << form.Memo1[0].toStdString();
  EXPECT_TRUE(h.messageBox.notices.empty());
  EXPECT_TRUE(h.shell.openedFiles.isEmpty());
  EXPECT_EQ(h.application.quitRequests, 0);
}

TEST_P(DownloadTest, StartsOnlyAWholeFreshBuild) {
  const DownloadCase& c = GetParam();
  if (c.bodyEndsWithTheConnection && runningUnderWine()) GTEST_SKIP() << kWineEndsNoBodyByClosing;
  const QByteArray build = standInBuild("new");
  server.serve(kVersionPath, Response(200, "1.0.4"));
  for (const auto& [path, response] : c.routes(bytes(build))) server.serve(path, response);
  const QString updateFile = here + "/" + kUpdateFile;
  writeExecutable(updateFile, standInBuild("left over"));

  // Started from outside the current folder, so that no step of the hand-over
  // removes the left-over file before the download.
  LauncherRun& launcher = run(QFileInfo(here).path() + "/" + kMainExecutable);
  TForm1& form = launcher.start();
  FormHarness& h = launcher.harness;

  launcher.expectStartupCompleted();
  ASSERT_TRUE(h.sleeper.sleeps.empty());
  if (c.succeeds) {
    EXPECT_EQ(contentOf(updateFile), build);
    EXPECT_TRUE(isExecutable(updateFile));
    EXPECT_EQ(h.messageBox.notices.size(), 1u);
    EXPECT_EQ(h.shell.openedFiles, QStringList{kUpdateFile});
    EXPECT_EQ(h.application.quitRequests, 1);
    EXPECT_EQ(form.connstatus->text(), kChecking);
    return;
  }
  expectUpdateRefused(form, h, updateFile, c.loggedReason);
}

INSTANTIATE_TEST_SUITE_P(Builds, DownloadTest, ::testing::ValuesIn(kDownloadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A build that cannot be started never ends the launcher: the start-up goes on.
TEST_F(SelfUpdateTest, BuildThatCannotBeStartedLetsTheStartupGoOn) {
  serveUpdate(standInBuild("new"));
  LauncherRun& launcher = run(here + "/" + kMainExecutable);
  launcher.harness.shell.startFails = true;
  TForm1& form = launcher.start();

  launcher.expectStartupCompleted();
  EXPECT_EQ(launcher.harness.shell.openedFiles, QStringList{kUpdateFile});
  EXPECT_EQ(launcher.harness.application.quitRequests, 0);
  EXPECT_FALSE(QFileInfo::exists(here + "/" + kUpdateFile));
  EXPECT_EQ(form.connstatus->text(), kNotFound);
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
}

// The check's own guarantee, whatever a failing web client leaves behind.
TEST_F(SelfUpdateTest, LeftOverUpdateFileIsDeletedWhenTheDownloadFailsBeforeWriting) {
  const QString updateFile = here + "/" + kUpdateFile;
  writeExecutable(updateFile, standInBuild("left over"));
  LauncherRun launcher(QFileInfo(here).path() + "/" + kMainExecutable, "https://unused.test",
                       nullptr);
  launcher.harness.http.answer = {200, "1.0.4"};  // and every download fails untouched
  TForm1& form = launcher.start();

  EXPECT_FALSE(QFileInfo::exists(updateFile));
  EXPECT_EQ(form.connstatus->text(), kNotFound);
  EXPECT_TRUE(launcher.harness.messageBox.notices.empty());
  EXPECT_TRUE(launcher.harness.shell.openedFiles.isEmpty());
  EXPECT_EQ(launcher.harness.application.quitRequests, 0);
}

// --- Signed releases of the whole package ------------------------------------

#ifdef Q_OS_WIN
const QString kSftpLibrary = "qsshlib.dll";
const QString kQtLibrary = "Qt6Core.dll";
const QString kPlugin = "platforms/qwindows.dll";
#else
const QString kSftpLibrary = "libqsshlib.so";
const QString kQtLibrary = "lib/libQt6Core.so.6";
const QString kPlugin = "plugins/platforms/libqxcb.so";
#endif
const std::string kReleasePath = "/launcher/release";

using Package = std::map<QString, QByteArray>;

// The installed launcher's folder: the stand-in as its executable.
Package oldPackage() {
  return {{kMainExecutable, standInBuild("old")},
          {kSftpLibrary, "sftp library 1"},
          {kQtLibrary, "qt core 6.4"},
          {kPlugin, "platform plugin 6.4"}};
}

// The release list of `package`, as tools/sign-update writes it.
QByteArray releaseText(const QString& version, const Package& package,
                       const QDateTime& expires = QDateTime::currentDateTimeUtc().addDays(30),
                       const QString& nextKey = {}) {
  QByteArray text = "quorrel-launcher-release 1\nversion " + version.toLatin1() + "\nexpires " +
                    manifest::expiryText(expires).toLatin1() + '\n';
  if (!nextKey.isEmpty()) text += "next-key " + nextKey.toLatin1() + '\n';
  for (const auto& [path, content] : package)
    text += manifest::entryLine({path, content.size(), Sha256::of(content)});
  return text;
}

// What the web server holds of a release; each part may be changed after signing.
struct Published {
  QString version = "1.0.4";
  Package package = {};
  QByteArray text = {};
  std::string signature = {};
  std::map<QString, QByteArray> served = {};  // by path below launcher/<version>/
};

enum class Expect { NoUpdate, Update, CheckFails, DownloadFails };

struct ReleaseCase {
  const char* name;
  // Turns the installed package into what the release holds, and may spoil it.
  std::function<void(Published&, const SigningKey& updateKey, const SigningKey& otherKey)> publish;
  Expect expect;
  // Update: the paths fetched besides the executable; otherwise part of the logged reason.
  QStringList fetched = {};
  QString reason = {};
};

void sign(Published& release, const SigningKey& key) {
  release.text = releaseText(release.version, release.package);
  release.signature = key.signatureFile(release.text.toStdString());
  release.served = release.package;
}

// The new build and a new SFTP library; Qt and its plugin as they were.
Published newLibrary(const SigningKey& key, const char* version = "1.0.4") {
  Published release{.version = version, .package = oldPackage()};
  release.package[kMainExecutable] = standInBuild("new");
  release.package[kSftpLibrary] = "sftp library 2";
  sign(release, key);
  return release;
}

const ReleaseCase kReleaseCases[] = {
    {"OnlyTheChangedLibraryIsFetched",
     [](Published& r, const SigningKey& key, const SigningKey&) { r = newLibrary(key); },
     Expect::Update,
     {kSftpLibrary}},
    {"ChangedQtLibraryAndPluginAreFetched",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r.package = oldPackage();
       r.package[kMainExecutable] = standInBuild("new");
       r.package[kQtLibrary] = "qt core 6.8";
       r.package[kPlugin] = "platform plugin 6.8";
       r.package["platforms/qoffscreen.plugin"] = "a file the old package lacked";
       sign(r, key);
     },
     Expect::Update,
     {kQtLibrary, kPlugin, "platforms/qoffscreen.plugin"}},
    {"LowerVersion",
     [](Published& r, const SigningKey& key, const SigningKey&) { r = newLibrary(key, "1.0.2"); },
     Expect::NoUpdate},
    {"SameVersion",
     [](Published& r, const SigningKey& key, const SigningKey&) { r = newLibrary(key, "1.0.3"); },
     Expect::NoUpdate},
    {"Expired",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key);
       r.text = releaseText(r.version, r.package, QDateTime::currentDateTimeUtc().addSecs(-60));
       r.signature = key.signatureFile(r.text.toStdString());
     },
     Expect::CheckFails,
     {},
     "the launcher release expired on"},
    {"Unsigned",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key);
       r.signature.clear();
     },
     Expect::CheckFails,
     {},
     "release.sig: HTTP status 404"},
    {"SignedWithAnotherKey",
     [](Published& r, const SigningKey&, const SigningKey& other) { r = newLibrary(other); },
     Expect::CheckFails,
     {},
     "the signature does not match the launcher release"},
    {"VersionRaisedAfterSigning",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key, "1.0.3");
       r.text.replace("version 1.0.3", "version 1.0.9");
       r.version = "1.0.9";
     },
     Expect::CheckFails,
     {},
     "the signature does not match the launcher release"},
    {"LibraryNotMatchingItsDigest",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key);
       r.served[kSftpLibrary] = "sftp library X";
     },
     Expect::DownloadFails,
     {},
     "does not match its size and digest in the release"},
    {"ExecutableLongerThanListed",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key);
       r.served[kMainExecutable] += "more";
     },
     Expect::DownloadFails,
     {},
     "1.0.4/" + kMainExecutable},
    {"ExecutableIsTheInstalledOne",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key);
       r.package[kMainExecutable] = standInBuild("old");
       sign(r, key);
     },
     Expect::DownloadFails,
     {},
     "is the one installed"},
    {"NamesTheUpdateFile",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key);
       r.package[kUpdateFile] = "would be overwritten";
       sign(r, key);
     },
     Expect::CheckFails,
     {},
     "a name the update keeps for itself"},
    {"LacksTheExecutable",
     [](Published& r, const SigningKey& key, const SigningKey&) {
       r = newLibrary(key);
       r.package.erase(kMainExecutable);
       sign(r, key);
     },
     Expect::CheckFails,
     {},
     "does not name " + kMainExecutable},
};

class ReleaseUpdateTest : public SelfUpdateTest {
 protected:
  void install(const Package& package) {
    for (const auto& [path, content] : package) {
      QDir(here).mkpath(QFileInfo(path).path());
      writeExecutable(here + "/" + path, content);
    }
  }
  void publish(const Published& release) {
    server.serve(kReleasePath, Response(200, bytes(release.text)));
    if (!release.signature.empty())
      server.serve(kReleasePath + ".sig", Response(200, release.signature));
    for (const auto& [path, content] : release.served)
      server.serve(("/launcher/" + release.version + "/" + path).toStdString(),
                   Response(200, bytes(content)));
    // An announcement a launcher with a key never reads.
    server.serve(kVersionPath, Response(200, "1.0.9"));
  }
  LauncherRun& signedRun(const SigningKey& key) {
    LauncherRun& launcher = run(here + "/" + kMainExecutable);
    launcher.harness.config().updatePublicKey = key.publicKey();
    return launcher;
  }
  QStringList fetchedFiles(const QString& version) const {
    QStringList fetched;
    const std::string folder = "/launcher/" + version.toStdString() + "/";
    for (const std::string& path : server.requestedPaths())
      if (path.starts_with(folder))
        fetched.append(QString::fromStdString(path.substr(folder.size())));
    fetched.sort();
    return fetched;
  }
  // The files of the current folder but the hand-over's log, by relative path.
  Package folderHere() const {
    Package files;
    QDirIterator it(here, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString path = QDir(here).relativeFilePath(it.next());
      if (path != "started.log") files[path] = contentOf(here + "/" + path);
    }
    return files;
  }
};

class ReleaseCaseTest : public ReleaseUpdateTest,
                        public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseCaseTest, TakesOnlyANewerSignedReleaseAndReplacesOnlyWhatDiffers) {
  const ReleaseCase& c = GetParam();
  const SigningKey updateKey, otherKey;
  install(oldPackage());
  Published release;
  c.publish(release, updateKey, otherKey);
  publish(release);

  LauncherRun& launcher = signedRun(updateKey);
  TForm1& form = launcher.start();
  FormHarness& h = launcher.harness;
  launcher.expectStartupCompleted();
  const QString log = form.Memo1.join('\n');
  const auto paths = server.requestedPaths();
  EXPECT_EQ(std::count(paths.begin(), paths.end(), kVersionPath), 0) << "version.txt was read";

  if (c.expect == Expect::Update) {
    QStringList fetched = c.fetched;
    fetched.append(kMainExecutable);
    fetched.sort();
    EXPECT_EQ(fetchedFiles(release.version), fetched);
    ASSERT_EQ(h.messageBox.notices.size(), 1u) << log.toStdString();
    EXPECT_EQ(h.shell.openedFiles, QStringList{kUpdateFile});
    EXPECT_EQ(h.application.quitRequests, 1);
    // Every file but the executable is in place before the new build starts.
    Package expected = release.package;
    expected[kUpdateFile] = release.package[kMainExecutable];
    expected[kMainExecutable] = oldPackage()[kMainExecutable];
    const Package old = oldPackage();
    QByteArray journal;  // in the release's order
    for (const auto& [path, content] : release.package) {
      if (!c.fetched.contains(path)) continue;
      journal += path.toUtf8() + '\n';
      if (old.count(path)) expected[path + ".quorrel-old"] = old.at(path);
    }
    expected["quorrel_update.files"] = journal;
    EXPECT_EQ(folderHere(), expected);
    return;
  }
  EXPECT_EQ(folderHere(), oldPackage()) << "the installed package changed";
  EXPECT_TRUE(h.messageBox.notices.empty());
  EXPECT_TRUE(h.shell.openedFiles.isEmpty());
  EXPECT_EQ(h.application.quitRequests, 0);
  switch (c.expect) {
    case Expect::NoUpdate:
      EXPECT_EQ(form.connstatus->text(), kChecking) << log.toStdString();
      EXPECT_TRUE(fetchedFiles(release.version).isEmpty());
      break;
    case Expect::CheckFails:
      EXPECT_EQ(form.connstatus->text(), kCheckFailed);
      EXPECT_TRUE(log.contains("Launcher update check failed: ")) << log.toStdString();
      EXPECT_TRUE(log.contains(c.reason)) << log.toStdString();
      EXPECT_TRUE(fetchedFiles(release.version).isEmpty());
      break;
    case Expect::DownloadFails:
      EXPECT_EQ(form.connstatus->text(), kNotFound);
      EXPECT_EQ(form.connstatus->fontColor(), kRed);
      EXPECT_TRUE(log.contains("Launcher update download failed: ")) << log.toStdString();
      EXPECT_TRUE(log.contains(c.reason)) << log.toStdString();
      break;
    case Expect::Update:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Releases, ReleaseCaseTest, ::testing::ValuesIn(kReleaseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A release signed with the old key names the next one; the next release is
// signed with the new key alone, and from then on the old key is refused.
TEST_F(ReleaseUpdateTest, RotatedKeyIsTakenAndTheOldOneRefusedOnceTheNewOneSigns) {
  const SigningKey oldKey, newKey;
  install(oldPackage());
  auto runWithState = [&](const QString& stateFrom) -> LauncherRun& {
    LauncherRun& launcher = signedRun(oldKey);
    if (!stateFrom.isEmpty()) {
      const QString to = launcher.harness.log.stateFolder();
      QDir().mkpath(to);
      QFile::copy(stateFrom + "/update-keys", to + "/update-keys");
    }
    return launcher;
  };

  Published naming = newLibrary(oldKey, "1.0.3");
  naming.text = releaseText("1.0.3", naming.package, QDateTime::currentDateTimeUtc().addDays(30),
                            newKey.publicKey());
  naming.signature = oldKey.signatureFile(naming.text.toStdString());
  publish(naming);
  LauncherRun& first = runWithState({});
  first.start();
  EXPECT_EQ(first.harness.form().connstatus->text(), kChecking)
      << first.harness.form().Memo1.join('\n').toStdString();
  const QString state = first.harness.log.stateFolder();

  publish(newLibrary(newKey));
  LauncherRun& second = runWithState(state);
  second.start();
  EXPECT_EQ(second.harness.shell.openedFiles, QStringList{kUpdateFile})
      << second.harness.form().Memo1.join('\n').toStdString();
  QFile::remove(here + "/" + kUpdateFile);
  package_files::restoreReplacedFiles();

  publish(newLibrary(oldKey));
  LauncherRun& third = runWithState(second.harness.log.stateFolder());
  third.start();
  EXPECT_EQ(third.harness.form().connstatus->text(), kCheckFailed);
  EXPECT_TRUE(third.harness.form().Memo1.join('\n').contains("does not match"));

  publish(newLibrary(newKey));
  LauncherRun& unrotated = runWithState({});
  unrotated.start();
  EXPECT_EQ(unrotated.harness.form().connstatus->text(), kCheckFailed)
      << "a launcher that never saw the next key took it";
}

// The key replacement as the README gives it: the old key signs a list that
// names the new key, and a launcher of the old key takes the new key's next list.
TEST_F(ReleaseUpdateTest, ToolNamesTheNextKeyInAListTheOldKeySigns) {
  QTemporaryDir operatorFolder;
  const std::string oldKey = operatorFolder.filePath("update-key.pem").toStdString();
  const std::string newKey = operatorFolder.filePath("new-key.pem").toStdString();
  const QString packageFolder = operatorFolder.filePath("package");
  const QString web = operatorFolder.filePath("www");
  const CommandResult oldPublic = runCommand({QUORREL_SIGN_TOOL, "keygen", oldKey});
  const CommandResult newPublic = runCommand({QUORREL_SIGN_TOOL, "keygen", newKey});
  ASSERT_EQ(oldPublic.exitCode + newPublic.exitCode, 0) << oldPublic.err << newPublic.err;
  QDir().mkpath(packageFolder);
  const auto publish = [&](const std::string& key, const char* version, const char* build,
                           std::vector<std::string> options) {
    FormHarness::touch(packageFolder + "/" + kMainExecutable, standInBuild(build));
    std::vector<std::string> command{QUORREL_SIGN_TOOL,           "release", key,
                                     packageFolder.toStdString(), version,   web.toStdString()};
    command.insert(command.end(), options.begin(), options.end());
    const CommandResult published = runCommand(command);
    ASSERT_EQ(published.exitCode, 0) << published.err;
    for (const QString name : {"release", "release.sig"})
      server.serve(("/launcher/" + name).toStdString(),
                   Response(200, bytes(contentOf(web + "/launcher/" + name))));
    server.serve("/launcher/" + std::string(version) + "/" + kMainExecutable.toStdString(),
                 Response(200, bytes(standInBuild(build))));
  };
  install({{kMainExecutable, standInBuild("old")}});
  const QString oldPublicKey = QString::fromStdString(oldPublic.out).trimmed();
  const QString newPublicKey = QString::fromStdString(newPublic.out).trimmed();

  publish(oldKey, "1.0.3", "same", {"--next-key", newPublicKey.toStdString()});
  EXPECT_TRUE(contentOf(web + "/launcher/release")
                  .contains("\nnext-key " + newPublicKey.toLatin1() + "\n"));
  LauncherRun& first = run(here + "/" + kMainExecutable);
  first.harness.config().updatePublicKey = oldPublicKey;
  first.start();
  EXPECT_EQ(first.harness.form().connstatus->text(), kChecking)
      << first.harness.form().Memo1.join('\n').toStdString();

  publish(newKey, "1.0.4", "new", {});
  LauncherRun& second = run(here + "/" + kMainExecutable);
  second.harness.config().updatePublicKey = oldPublicKey;
  QDir().mkpath(second.harness.log.stateFolder());
  QFile::copy(first.harness.log.stateFolder() + "/update-keys",
              second.harness.log.stateFolder() + "/update-keys");
  second.start();
  EXPECT_EQ(second.harness.shell.openedFiles, QStringList{kUpdateFile})
      << second.harness.form().Memo1.join('\n').toStdString();
  EXPECT_EQ(contentOf(here + "/" + kUpdateFile), standInBuild("new"));
}

// The operator's command, run as the README gives it, and a launcher with the
// tool's key: the hand-over's three runs leave exactly the new package.
TEST_F(ReleaseUpdateTest, ReleaseWrittenWithTheToolIsInstalledInThreeRuns) {
  QTemporaryDir operatorFolder;
  const std::string key = operatorFolder.filePath("update-key.pem").toStdString();
  const QString packageFolder = operatorFolder.filePath("package");
  const QString web = operatorFolder.filePath("www");
  Package newPackage = oldPackage();
  newPackage[kMainExecutable] = standInBuild("new");
  newPackage[kSftpLibrary] = "sftp library 2";
  newPackage[kQtLibrary] = "qt core 6.8";
  for (const auto& [path, content] : newPackage) {
    QDir(packageFolder).mkpath(QFileInfo(path).path());
    FormHarness::touch(packageFolder + "/" + path, content);
  }
  const CommandResult made = runCommand({QUORREL_SIGN_TOOL, "keygen", key});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const CommandResult published = runCommand(
      {QUORREL_SIGN_TOOL, "release", key, packageFolder.toStdString(), "1.0.4", web.toStdString()});
  ASSERT_EQ(published.exitCode, 0) << published.err;
  QDirIterator it(web, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = it.next();
    server.serve(("/" + QDir(web).relativeFilePath(file)).toStdString(),
                 Response(200, bytes(contentOf(file))));
  }
  EXPECT_EQ(contentOf(web + "/launcher/version.txt"), "1.0.4");
  EXPECT_EQ(contentOf(web + "/launcher/" + kMainExecutable), newPackage[kMainExecutable]);
  install(oldPackage());
  const QString publicKey = QString::fromStdString(made.out).trimmed();
  DesktopShell shell;

  LauncherRun& first = run(here + "/" + kMainExecutable);
  first.harness.config().updatePublicKey = publicKey;
  first.start(&shell);
  ASSERT_EQ(startedPrograms(here, 1), QStringList{kUpdateFile + " " + here})
      << first.harness.form().Memo1.join('\n').toStdString();
  QStringList changed{kQtLibrary, kMainExecutable, kSftpLibrary};
  changed.sort();
  EXPECT_EQ(fetchedFiles("1.0.4"), changed);

  server.serve(kReleasePath, Response(404, ""));  // the new build finds nothing newer
  LauncherRun& second = run(here + "/" + kUpdateFile);
  second.harness.config().updatePublicKey = publicKey;
  second.start(&shell);
  ASSERT_EQ(startedPrograms(here, 2).size(), 2);

  LauncherRun& third = run(here + "/" + kMainExecutable);
  third.harness.config().updatePublicKey = publicKey;
  third.start();
  EXPECT_EQ(folderHere(), newPackage);
}

// --- The hand-over ------------------------------------------------------------

TEST_F(SelfUpdateTest, ThreeRunsReplaceTheLauncherAtomicallyAndRemoveTheUpdateFile) {
  DesktopShell shell;
  const QByteArray oldBuild = standInBuild("old");
  const QByteArray newBuild = standInBuild("new");
  const QString mainFile = here + "/" + kMainExecutable;
  const QString updateFile = here + "/" + kUpdateFile;
  writeExecutable(mainFile, oldBuild);
  serveUpdate(newBuild);

  // Run 1, the old build: it fetches the new one as the update file and starts that.
  LauncherRun& first = run(mainFile);
  first.start(&shell);
  first.expectStartupCompleted();
  ASSERT_EQ(first.harness.messageBox.notices.size(), 1u);
  EXPECT_EQ(first.harness.application.quitRequests, 1);
  EXPECT_EQ(contentOf(updateFile), newBuild);
  ASSERT_EQ(startedPrograms(here, 1), QStringList{kUpdateFile + " " + here});

  // Run 2, the new build as the update file. Being 1.0.4 itself, it finds no
  // newer version; the server's answer stands for that.
  server.serve(kVersionPath, Response(200, "1.0.3"));
  // A second name for the old main executable: an in-place copy would change it.
  std::filesystem::create_hard_link(mainFile.toStdU16String(),
                                    (here + "/old-build").toStdU16String());
  LauncherRun& second = run(updateFile);
  second.start(&shell);
  second.expectStartupCompleted();
  EXPECT_EQ(second.harness.sleeper.sleeps, std::vector{std::chrono::milliseconds(2000)});
  EXPECT_EQ(contentOf(mainFile), newBuild);
  EXPECT_TRUE(isExecutable(mainFile));
  EXPECT_EQ(contentOf(here + "/old-build"), oldBuild) << "the main executable was overwritten";
  EXPECT_EQ(second.harness.application.quitRequests, 1);
  EXPECT_TRUE(second.harness.messageBox.notices.empty());
  EXPECT_EQ(second.harness.form().connstatus->text(), kChecking);
  ASSERT_EQ(startedPrograms(here, 2),
            (QStringList{kUpdateFile + " " + here, kMainExecutable + " " + here}));
  EXPECT_EQ(filesHere(), (QStringList{kMainExecutable, "old-build", kUpdateFile, "started.log"}));

  // Run 3, the new build as the main executable: it removes the update file.
  LauncherRun& third = run(mainFile);
  third.start();
  third.expectStartupCompleted();
  EXPECT_EQ(third.harness.sleeper.sleeps, std::vector{std::chrono::milliseconds(2000)});
  EXPECT_EQ(filesHere(), (QStringList{kMainExecutable, "old-build", "started.log"}));
  EXPECT_TRUE(third.harness.shell.openedFiles.isEmpty());
  EXPECT_EQ(third.harness.application.quitRequests, 0);
}

TEST_F(SelfUpdateTest, StartedFromAnotherFolderUpdatesTheCurrentFolderOnly) {
  DesktopShell shell;
  QTemporaryDir programFolder;
  const QString program = programFolder.filePath(kMainExecutable);
  const QByteArray oldBuild = standInBuild("old");
  const QByteArray newBuild = standInBuild("new");
  writeExecutable(program, oldBuild);
  FormHarness::touch(here + "/" + kUpdateFile, "left over");
  serveUpdate(newBuild);

  LauncherRun& launcher = run(program);
  launcher.start(&shell);

  launcher.expectStartupCompleted();
  EXPECT_TRUE(launcher.harness.sleeper.sleeps.empty()) << "taken for a hand-over";
  EXPECT_EQ(contentOf(here + "/" + kUpdateFile), newBuild);
  EXPECT_EQ(startedPrograms(here, 1), QStringList{kUpdateFile + " " + here});
  EXPECT_EQ(contentOf(program), oldBuild);
  EXPECT_EQ(QDir(programFolder.path()).entryList(QDir::Files), QStringList{kMainExecutable});
}

// Which run of the hand-over the launcher takes itself for, by its own path.
enum class Role { Neither, NewBuild, MainAfterUpdate };

struct NameCase {
  const char* name;
  std::function<QString(const QString& here)> programPath;
  Role role;
};

const NameCase kNameCases[] = {
    {"MainHere", [](const QString& here) { return here + "/" + kMainExecutable; },
     Role::MainAfterUpdate},
    {"MainHereWithTheFolderInOtherLetterCase",
     [](const QString& here) { return here.toUpper() + "/" + kMainExecutable; },
     Role::MainAfterUpdate},
    {"UpdateFileHere", [](const QString& here) { return here + "/" + kUpdateFile; },
     Role::NewBuild},
    {"MainInASubfolder", [](const QString& here) { return here + "/bin/QuorrelLauncher"; },
     Role::Neither},
    {"MainInTheParentFolder",
     [](const QString& here) { return QFileInfo(here).path() + "/" + kMainExecutable; },
     Role::Neither},
    {"MainNameInOtherLetterCase", [](const QString& here) { return here + "/quorrellauncher"; },
     Role::Neither},
    {"UpdateNameInOtherLetterCase", [](const QString& here) { return here + "/Quorrel_Launcher"; },
     Role::Neither},
};

// The old launcher may still run when the new build's first wait is over;
// Windows refuses to replace a program that runs. A folder in the main
// executable's place refuses the copy the same way on every system, until
// it is gone.
class HeldMainExecutableTest : public SelfUpdateTest {
 protected:
  void SetUp() override {
    SelfUpdateTest::SetUp();
    mainFile = here + "/" + kMainExecutable;
    ASSERT_TRUE(QDir().mkpath(mainFile + "/held"));
    FormHarness::touch(here + "/" + kUpdateFile, "new build");
    newBuild =
        std::make_unique<LauncherRun>(here + "/" + kUpdateFile, "https://unused.test", nullptr);
  }
  FakeSleeper& sleeper() { return newBuild->harness.sleeper; }

  QString mainFile;
  std::unique_ptr<LauncherRun> newBuild;
};

TEST_F(HeldMainExecutableTest, NewBuildWaitsForTheOldOneToLetGoOfItsFile) {
  sleeper().onSleep = [&] {
    if (sleeper().sleeps.size() == 3) QDir(mainFile).removeRecursively();  // the old one ends
  };
  newBuild->start();
  newBuild->expectStartupCompleted();

  using std::chrono::milliseconds;
  EXPECT_EQ(sleeper().sleeps,
            (std::vector{milliseconds(2000), milliseconds(500), milliseconds(500)}));
  EXPECT_EQ(contentOf(mainFile), "new build");
  EXPECT_EQ(newBuild->harness.shell.openedFiles, QStringList{kMainExecutable});
}

TEST_F(HeldMainExecutableTest, NewBuildThatCannotReplaceTheOldOneGivesUpAndStartsIt) {
  newBuild->start();
  newBuild->expectStartupCompleted();

  const std::vector<std::chrono::milliseconds>& sleeps = sleeper().sleeps;
  EXPECT_EQ(sleeps.size(), 20u);
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), std::chrono::milliseconds(500)), 19);
  EXPECT_TRUE(QFileInfo(mainFile).isDir());
  EXPECT_EQ(newBuild->harness.shell.openedFiles, QStringList{kMainExecutable});
  EXPECT_EQ(newBuild->harness.application.quitRequests, 1);
}

class OwnNameTest : public SelfUpdateTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(OwnNameTest, DecidesTheRoleInTheHandOver) {
  const NameCase& c = GetParam();
  const QString mainFile = here + "/" + kMainExecutable;
  const QString updateFile = here + "/" + kUpdateFile;
  FormHarness::touch(mainFile, "old build");
  FormHarness::touch(updateFile, "new build");

  LauncherRun launcher(c.programPath(here), "https://unused.test", nullptr);  // no newer version
  launcher.start();
  FormHarness& h = launcher.harness;

  launcher.expectStartupCompleted();
  switch (c.role) {
    case Role::Neither:
      EXPECT_TRUE(h.sleeper.sleeps.empty());
      EXPECT_EQ(contentOf(mainFile), "old build");
      EXPECT_EQ(contentOf(updateFile), "new build");
      EXPECT_TRUE(h.shell.openedFiles.isEmpty());
      EXPECT_EQ(h.application.quitRequests, 0);
      break;
    case Role::NewBuild:
      EXPECT_EQ(h.sleeper.sleeps, std::vector{std::chrono::milliseconds(2000)});
      EXPECT_EQ(contentOf(mainFile), "new build");
      EXPECT_TRUE(isExecutable(mainFile));
      EXPECT_EQ(h.shell.openedFiles, QStringList{kMainExecutable});
      EXPECT_EQ(h.application.quitRequests, 1);
      break;
    case Role::MainAfterUpdate:
      EXPECT_EQ(h.sleeper.sleeps, std::vector{std::chrono::milliseconds(2000)});
      EXPECT_FALSE(QFileInfo::exists(updateFile));
      EXPECT_EQ(contentOf(mainFile), "old build");
      EXPECT_TRUE(h.shell.openedFiles.isEmpty());
      EXPECT_EQ(h.application.quitRequests, 0);
      break;
  }
  EXPECT_EQ(h.http.requests, QStringList{"https://unused.test/launcher/version.txt"});
}

INSTANTIATE_TEST_SUITE_P(Paths, OwnNameTest, ::testing::ValuesIn(kNameCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Starting programs --------------------------------------------------------

TEST(ProgramPathTest, IsTheRunningProgramsFile) {
  EXPECT_EQ(QtApplication().executablePath(), QCoreApplication::applicationFilePath());
}

// A Windows program may carry execute permission; it still runs under wine.
TEST_F(SelfUpdateTest, WindowsProgramWithExecutePermissionRunsUnderTheWindowsRunner) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows runs its programs itself; the runner through wine is Linux's";
#endif
  const QByteArray savedPath = qgetenv("PATH");
  const QByteArray savedWine = qgetenv("WINE");
  const bool hadWine = qEnvironmentVariableIsSet("WINE");
  QTemporaryDir bin;
  writeExecutable(bin.filePath("wine"),
                  "#!/bin/sh\nprintf '%s %s\\n' wine \"$1\" >> started.log\n");
  qputenv("PATH", QFile::encodeName(bin.path()) + ":" + savedPath);
  qunsetenv("WINE");
  writeExecutable(here + "/Game.exe", "MZ\x90 a Windows program");

  DesktopShell().openFile("Game.exe");
  const QStringList started = startedPrograms(here, 1);

  qputenv("PATH", savedPath);
  if (hadWine) qputenv("WINE", savedWine);
  EXPECT_EQ(started, QStringList{"wine Game.exe"});
}

}  // namespace
}  // namespace quorrel::testing
