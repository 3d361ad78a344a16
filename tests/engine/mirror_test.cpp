// The mirror road: each file the signed manifest names comes first as an
// object from the mirrors it names, over HTTPS, and from the patch server
// only when no mirror delivers it whole and matching. A mirror can fail in
// every way; the game folder never takes a byte the manifest does not vouch for.
#include <QTemporaryDir>
#include <cstdio>
#include <map>
#include <regex>

#include "ca_bundle.h"
#include "engine_harness.h"
#include "https_server.h"
#include "nginx_server.h"
#include "signing_key.h"

namespace quorrel::testing {
namespace {

using namespace std::chrono_literals;
using Response = HttpsServer::Response;

const std::string kManifestName = manifest::kFileName.toStdString();
const std::string kSignatureName = manifest::kSignatureFileName.toStdString();

// Large enough to arrive in many blocks, so that a failure can fall in the middle.
const std::string kClient = randomBytes(300 * 1024, 7);
const Tree kRelease = {{"WoW.exe", kClient}, {"Data/patch.MPQ", "patch data"}};

// What the flow downloaded over SFTP, by file name, as the SFTP session logs
// each download's end.
std::map<std::string, uint64_t> downloadedOverSftp(const QStringList& log) {
  const std::regex downloaded("Downloaded ([0-9]+) bytes of (.*)");
  std::map<std::string, uint64_t> bytes;
  for (const QString& line : log) {
    std::smatch match;
    const std::string text = line.toStdString();
    if (std::regex_match(text, match, downloaded))
      bytes[fs::path(match[2].str()).filename().string()] += std::stoull(match[1].str());
  }
  return bytes;
}

std::string objectPathOf(const std::string& content) {
  return "/" + manifest::objectPath(sha256(content)).toStdString();
}

// A patch server, the real mirror (nginx serving the release's objects) and
// a scripted one that fails as each test wants; the launcher trusts both
// mirrors' CAs and checks the release with its update key.
class MirrorTest : public ::testing::Test {
 protected:
  MirrorTest() : nginx(objects.path().toStdString()) {
    writeCaBundle({faulty.caFile(), nginx.caFile()}, bundle());
    engine.config.caFile = QString::fromStdString(bundle().string());
    engine.config.updatePublicKey = updateKey.publicKey();
    engine.start("game", false);
    // A stall is found out in a test's time, not a player's.
    engine.engine().mirrorStallTimeout = 2s;
  }

  // Beside the test's game folders, its own.
  fs::path bundle() const { return engine.path("cas.pem").toStdString(); }
  QString faultyUrl() const { return QString::fromStdString(faulty.url()); }
  QString nginxUrl() const { return QString::fromStdString(nginx.url()); }

  // Publishes `tree` on the patch server, signed, naming `mirrors`; the
  // real mirror holds its objects.
  void publish(const Tree& tree, const QStringList& mirrors, int64_t release = 1, int days = 1) {
    for (const auto& [path, content] : tree)
      writeBytes(fs::path(objects.path().toStdString()) / objectPathOf(content).substr(1), content);
    fs::remove_all(engine.patchTree);
    fs::create_directories(engine.patchTree);
    const std::string text = serveWithManifest(engine, tree, releaseOf(release, days), mirrors);
    engine.serve(kSignatureName, updateKey.signatureFile(text));
  }

  void expectGameHolds(const Tree& tree) {
    for (const auto& [path, content] : tree)
      EXPECT_TRUE(readBytes(engine.local(path)) == content) << path << " differs";
  }
  // No partial copy, no record: every fetch ended in place.
  void expectNoPartialCopies() {
    for (const auto& entry : fs::recursive_directory_iterator(engine.local("")))
      EXPECT_FALSE(partial_copy::isPartialCopyName(
          QFile::encodeName(QString::fromStdU16String(entry.path().filename().u16string()))))
          << entry.path();
  }
  bool logHas(const QString& text) const { return engine.observer.logHas(text); }
  std::string log() const { return engine.observer.logText(); }

  QTemporaryDir objects;
  HttpsServer faulty;
  NginxServer nginx;
  SigningKey updateKey;
  EngineHarness engine;
};

// A healthy mirror serves every byte of the files; the patch server serves
// the listing and the signed manifest, nothing more.
TEST_F(MirrorTest, HealthyMirrorServesEveryFile) {
  publish(kRelease, {nginxUrl()});
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  expectNoPartialCopies();
  for (const auto& [path, content] : kRelease)
    EXPECT_TRUE(logHas(QString::fromStdString(path) + " came from the mirror " + nginxUrl()))
        << log();
  EXPECT_FALSE(logHas("comes from the patch server")) << log();

  uint64_t releaseBytes = 0;
  for (const auto& [path, content] : kRelease) releaseBytes += content.size();
  const std::map<std::string, uint64_t> overSftp = downloadedOverSftp(engine.observer.lines);
  EXPECT_EQ(overSftp, (std::map<std::string, uint64_t>{
                          {kManifestName, readBytes(engine.patchTree / kManifestName).size()},
                          {kSignatureName, readBytes(engine.patchTree / kSignatureName).size()}}));
  EXPECT_EQ(nginx.bodyBytesSent(), releaseBytes);
  uint64_t sftpBytes = 0;
  for (const auto& [name, bytes] : overSftp) sftpBytes += bytes;
  std::printf("SFTP server: %llu bytes of files; mirror: %llu bytes of objects\n",
              static_cast<unsigned long long>(sftpBytes),
              static_cast<unsigned long long>(nginx.bodyBytesSent()));
}

// How a mirror fails for one object, and what the launcher should make of it.
struct Fault {
  const char* name;
  std::function<void(HttpsServer&, const std::string& object)> serve;
};

const Fault kFaults[] = {
    {"NotFound", [](HttpsServer&, const std::string&) {}},  // 404 for every unknown path
    {"WrongBytes",
     [](HttpsServer& server, const std::string& object) {
       server.serve(object, Response(200, withOneByteFlipped(kClient)));
     }},
    {"ShortBody",
     [](HttpsServer& server, const std::string& object) {
       server.serve(object,
                    Response(200, kClient.substr(0, kClient.size() / 2)).announce(kClient.size()));
     }},
    {"LongerBody",
     [](HttpsServer& server, const std::string& object) {
       server.serve(object, Response(200, kClient + "more"));
     }},
    {"Stall",
     [](HttpsServer& server, const std::string& object) {
       server.serve(object, Response(200, kClient).stall());
     }},
    {"RedirectToPlainHttp",
     [](HttpsServer& server, const std::string& object) {
       server.serve(object, HttpsServer::redirect("http://127.0.0.1:9" + object));
     }},
    {"ServerError", [](HttpsServer& server,
                       const std::string& object) { server.serve(object, Response(503, "busy")); }},
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.name;
}

class MirrorFaultTest : public MirrorTest, public ::testing::WithParamInterface<Fault> {};

// The failing mirror is dropped for the file, the next one delivers it, and
// the log says which mirror failed how and which delivered.
TEST_P(MirrorFaultTest, FileComesWholeFromTheNextMirror) {
  GetParam().serve(faulty, objectPathOf(kClient));
  publish(kRelease, {faultyUrl(), nginxUrl()});
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  expectNoPartialCopies();
  EXPECT_TRUE(logHas("The mirror " + faultyUrl() + " failed for WoW.exe: ")) << log();
  EXPECT_TRUE(logHas("WoW.exe came from the mirror " + nginxUrl())) << log();
}

// With no mirror left, the patch server serves the file, exactly as without
// mirrors; what the mirror sent never took the file's place.
TEST_P(MirrorFaultTest, FileComesFromThePatchServerWhenNoMirrorDelivers) {
  GetParam().serve(faulty, objectPathOf(kClient));
  publish(kRelease, {faultyUrl()});
  std::optional<bool> inPlaceAfterTheMirror;
  engine.observer.once([this] { return logHas("WoW.exe comes from the patch server"); },
                       [&] { inPlaceAfterTheMirror = fs::exists(engine.local("WoW.exe")); });
  const std::optional<FlowResult> result = engine.install();
  EXPECT_EQ(inPlaceAfterTheMirror, false) << log();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  expectNoPartialCopies();
  EXPECT_TRUE(logHas("The mirror " + faultyUrl() + " failed for WoW.exe: ")) << log();
  EXPECT_TRUE(logHas("WoW.exe comes from the patch server")) << log();
}

INSTANTIATE_TEST_SUITE_P(Faults, MirrorFaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// A mirror whose certificate no trusted CA issued is no mirror at all: it is
// not asked again in this flow.
TEST_F(MirrorTest, MirrorWithAnUntrustedCertificateIsGivenUpForTheFlow) {
  HttpsServer untrusted(HttpsServer::Certificate::FromAnotherCa);
  const QString url = QString::fromStdString(untrusted.url());
  publish(kRelease, {url, nginxUrl()});
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  EXPECT_EQ(engine.observer.lines.filter("The mirror " + url + " failed for ").size(), 1) << log();
  EXPECT_TRUE(logHas("it is not tried again")) << log();
  EXPECT_TRUE(untrusted.requests().empty());
}

// A mirror that is silent for a while may only be busy, as on patch day: it
// is left for that file and asked again for the next.
TEST_F(MirrorTest, SilentMirrorIsAskedAgainForTheNextFile) {
  for (const auto& [path, content] : kRelease)
    faulty.serve(objectPathOf(content), Response(200, content).stall());
  publish(kRelease, {faultyUrl(), nginxUrl()});
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  for (const auto& [path, content] : kRelease)
    EXPECT_TRUE(
        logHas("The mirror " + faultyUrl() + " failed for " + QString::fromStdString(path) + ": "))
        << log();
  EXPECT_FALSE(logHas("it is not tried again")) << log();
}

// A mirror that is down costs a few tries, not one per file (the files are
// fetched in the listing's order).
TEST_F(MirrorTest, MirrorThatFailsForThreeFilesInARowIsGivenUp) {
  RefusingPort down;
  const QString url = QStringLiteral("https://127.0.0.1:%1").arg(down.port());
  const Tree tree = {{"a.MPQ", "a"}, {"b.MPQ", "b"}, {"c.MPQ", "c"}, {"d.MPQ", "d"}};
  publish(tree, {url, nginxUrl()});
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(tree);
  EXPECT_EQ(engine.observer.lines.filter("The mirror " + url + " failed for ").size(), 3) << log();
  EXPECT_EQ(engine.observer.lines.filter("; it is not tried again").size(), 1) << log();
  EXPECT_EQ(engine.observer.lines.filter(" came from the mirror " + nginxUrl()).size(), 4) << log();
}

// A mirror that breaks off in the middle leaves its bytes in the partial
// copy; the next mirror sends only the rest, with a range request.
TEST_F(MirrorTest, NextMirrorGoesOnWhereTheFailedOneStopped) {
  const size_t half = kClient.size() / 2;
  faulty.serve(objectPathOf(kClient),
               Response(200, kClient.substr(0, half)).announce(kClient.size()));
  publish(kRelease, {faultyUrl(), nginxUrl()});
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  std::vector<NginxServer::Request> ranged;
  for (const NginxServer::Request& request : nginx.requests())
    if (request.path == objectPathOf(kClient)) ranged.push_back(request);
  ASSERT_EQ(ranged.size(), 1u);
  EXPECT_EQ(ranged[0].status, 206);
  EXPECT_EQ(ranged[0].range, "bytes=" + std::to_string(half) + "-");
  EXPECT_EQ(ranged[0].bodyBytes, kClient.size() - half) << log();
}

// A fetch stopped in the middle leaves the bytes written so far in the
// partial copy; the next run asks the mirror only for the rest.
TEST_F(MirrorTest, StoppedFetchGoesOnWithARangeRequest) {
  const std::string large = randomBytes(20 * 1024 * 1024 + 12345, 11);
  const Tree tree = {{"Data/large.MPQ", large}};
  publish(tree, {nginxUrl()});
  engine.observer.once([this] { return engine.engine().progress().done() > 5 * 1024 * 1024; },
                       [this] { engine.engine().stop(); });
  std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  ASSERT_EQ(result->end, FlowEnd::Stopped) << log();
  const uint64_t kept = fs::file_size(copyOf(engine, "Data/large.MPQ"));
  ASSERT_GT(kept, 5u * 1024 * 1024);
  EXPECT_EQ(readBytes(copyOf(engine, "Data/large.MPQ")), large.substr(0, kept));

  const size_t requestsBefore = nginx.requests().size();
  engine.start("game", false);
  result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(tree);
  expectNoPartialCopies();
  EXPECT_TRUE(logHas(QStringLiteral("Going on with Data/large.MPQ at byte %1").arg(kept))) << log();
  const std::vector<NginxServer::Request> requests = nginx.requests();
  ASSERT_EQ(requests.size(), requestsBefore + 1);
  EXPECT_EQ(requests.back().status, 206);
  EXPECT_EQ(requests.back().range, "bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(requests.back().bodyBytes, large.size() - kept);
}

// A mirror that ignores the range and sends the whole object is taken: the
// bytes the copy holds already are dropped from its answer.
TEST_F(MirrorTest, MirrorThatIgnoresTheRangeIsTakenWithoutTheBytesKept) {
  faulty.serve(objectPathOf(kClient), Response(200, kClient).trickle(1ms));
  publish({{"WoW.exe", kClient}}, {faultyUrl()});
  engine.observer.once([this] { return engine.engine().progress().done() > 1000; },
                       [this] { engine.engine().stop(); });
  ASSERT_TRUE(engine.install()) << engine.error.toStdString();
  const uint64_t kept = fs::file_size(copyOf(engine, "WoW.exe"));
  ASSERT_GT(kept, 0u);

  faulty.serve(objectPathOf(kClient), Response(200, kClient));
  engine.start("game", false);
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds({{"WoW.exe", kClient}});
  EXPECT_TRUE(logHas(QStringLiteral("Going on with WoW.exe at byte %1").arg(kept))) << log();
  EXPECT_TRUE(logHas("WoW.exe came from the mirror " + faultyUrl())) << log();
  EXPECT_EQ(faulty.requests().back().headers["range"], "bytes=" + std::to_string(kept) + "-");
}

// A release the launcher refuses names no mirror it would ask: nothing is fetched from anywhere.
TEST_F(MirrorTest, RefusedReleaseSendsNobodyToItsMirrors) {
  publish(kRelease, {nginxUrl()}, 5);
  ASSERT_TRUE(engine.install()) << engine.error.toStdString();
  const Tree older = {{"WoW.exe", "MZ an older client"}};
  for (const auto& [release, days] : {std::pair{4, 1}, std::pair{6, -1}}) {
    SCOPED_TRACE(release);
    const size_t before = nginx.requests().size();
    publish(older, {faultyUrl(), nginxUrl()}, release, days);
    const std::optional<FlowResult> result = engine.update();
    ASSERT_TRUE(result) << engine.error.toStdString();
    EXPECT_EQ(result->end, FlowEnd::Untrusted);
    EXPECT_EQ(nginx.requests().size(), before);
    EXPECT_TRUE(faulty.requests().empty());
    expectGameHolds(kRelease);
  }
}

// Closing the launcher ends a mirror's transfer at once; the game keeps
// its file, and the bytes so far wait in the partial copy.
TEST_F(MirrorTest, CloseStopsAMirrorTransfer) {
  faulty.serve(objectPathOf(kClient), Response(200, kClient).trickle(20ms));
  publish({{"WoW.exe", kClient}}, {faultyUrl()});
  engine.observer.once([this] { return engine.engine().progress().done() > 0; },
                       [this] { engine.engine().stop(); });
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Stopped) << log();
  EXPECT_FALSE(fs::exists(engine.local("WoW.exe")));
  EXPECT_FALSE(logHas("comes from the patch server")) << log();
}

// Without a manifest nothing vouches for a mirror's bytes: the build's
// mirrors are not asked.
TEST_F(MirrorTest, MirrorsWithoutAManifestAreNeverAsked) {
  for (const auto& [path, content] : kRelease) engine.serve(path, content);
  engine.config.updatePublicKey.clear();
  engine.config.mirrors = {nginxUrl()};
  engine.start("unsigned", false);
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  EXPECT_TRUE(nginx.requests().empty());
}

// Without mirrors in the manifest, the build's own are asked.
TEST_F(MirrorTest, BuildsMirrorsServeWhenTheManifestNamesNone) {
  engine.config.mirrors = {faultyUrl(), nginxUrl()};
  engine.start("game", false);
  engine.engine().mirrorStallTimeout = 2s;
  publish(kRelease, {});
  const std::optional<FlowResult> result = engine.install();
  ASSERT_TRUE(result) << engine.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::Done) << log();
  expectGameHolds(kRelease);
  EXPECT_TRUE(logHas("WoW.exe came from the mirror " + nginxUrl())) << log();
}

}  // namespace
}  // namespace quorrel::testing
