// The web client on its own, against an HTTPS server on 127.0.0.1.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <optional>

#include "http_client.h"
#include "https_server.h"
#include "qt_printers.h"
#include "test_servers.h"
#include "wine.h"

namespace quorrel::testing {
namespace {

using namespace std::chrono_literals;
using Response = HttpsServer::Response;

std::optional<QByteArray> variable(const char* name) {
  if (!qEnvironmentVariableIsSet(name)) return std::nullopt;
  return qgetenv(name);
}

class HttpClientTest : public ::testing::Test {
 protected:
  CurlHttpClient trustingClient() const { return clientWithCaFile(server.caFile().string()); }
  static CurlHttpClient clientWithCaFile(const std::string& caFile) {
    return CurlHttpClient({QString::fromStdString(caFile), 2s, 1s});
  }
  QString url(const std::string& path) const { return QString::fromStdString(server.url() + path); }
  std::string failureOf(const std::function<void()>& request) const {
    try {
      request();
    } catch (const HttpError& error) {
      return error.what();
    }
    return "no error";
  }

  HttpsServer server;
};

struct CharsetCase {
  const char* name;
  const char* contentType;  // null: no Content-Type at all
  std::string body;
  const char16_t* text;
};

const CharsetCase kCharsetCases[] = {
    {"NoContentTypeIsUtf8", nullptr, "v\xC3\xBC", u"v\u00FC"},
    {"NoCharsetIsUtf8", "text/plain", "v\xC3\xBC", u"v\u00FC"},
    {"Latin1", "text/plain; charset=ISO-8859-1", "v\xFC", u"v\u00FC"},
    {"QuotedUtf16WithByteOrderMark", "text/plain; charset=\"UTF-16\"",
     std::string("\xFF\xFEv\0\xFC\0", 6), u"v\u00FC"},
    {"Utf16BigEndian", "text/plain;charset=utf-16be", std::string("\0v\0\xFC", 4), u"v\u00FC"},
    {"CharsetAmongOtherParameters", "text/plain; format=flowed; CHARSET=utf-8 ; x=y", "v\xC3\xBC",
     u"v\u00FC"},
};

class CharsetTest : public HttpClientTest, public ::testing::WithParamInterface<CharsetCase> {};

TEST_P(CharsetTest, DecodesTheBodyByTheCharsetOfItsContentType) {
  const CharsetCase& c = GetParam();
  Response response(200, c.body);
  if (c.contentType) response.header("Content-Type", c.contentType);
  server.serve("/text", response);

  const HttpText answer = trustingClient().get(url("/text"));

  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.text, QString::fromUtf16(c.text));
}

INSTANTIATE_TEST_SUITE_P(Charsets, CharsetTest, ::testing::ValuesIn(kCharsetCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpClientTest, UnknownCharsetIsAnError) {
  server.serve("/text",
               Response(200, "1.0.4").header("Content-Type", "text/plain; charset=klingon"));
  EXPECT_EQ(failureOf([&] { trustingClient().get(url("/text")); }),
            server.url() + "/text: unknown charset \"klingon\"");
}

TEST_F(HttpClientTest, ErrorStatusIsAnAnswerWithItsBody) {
  server.serve("/missing", Response(404, "not here"));
  const HttpText answer = trustingClient().get(url("/missing"));
  EXPECT_EQ(answer.status, 404);
  EXPECT_EQ(answer.text, "not here");
}

TEST_F(HttpClientTest, TrustsTheServerOnlyThroughTheExtraCaFile) {
  server.serve("/text", Response(200, "1.0.4"));
  EXPECT_EQ(trustingClient().get(url("/text")).text, "1.0.4");
#ifdef _WIN32
  const char* const untrusted = "CERT_TRUST";  // Schannel's words
#else
  const char* const untrusted = "certificate";
#endif
  // Without a CA file curl leaves the check to Schannel, and Wine's Schannel checks no server:
  // under Wine only the operator's signature on a build guards the self-update.
  if (!runningUnderWine()) {
    const std::string withoutCa = failureOf([&] { clientWithCaFile("").get(url("/text")); });
    EXPECT_NE(withoutCa.find(untrusted), std::string::npos) << withoutCa;
  }
  const std::string missing = server.caFile().string() + ".missing";
  EXPECT_EQ(failureOf([&] { clientWithCaFile(missing).get(url("/text")); }),
            server.url() + "/text: the CA file " + missing + " cannot be read");
}

TEST_F(HttpClientTest, FollowsNoRedirectAwayFromHttps) {
  RefusingPort plain;
  server.serve("/text", HttpsServer::redirect("http://127.0.0.1:" + std::to_string(plain.port())));
  EXPECT_NE(failureOf([&] { trustingClient().get(url("/text")); }).find("not supported"),
            std::string::npos);
}

TEST_F(HttpClientTest, GoesThroughTheProxyOfTheEnvironment) {
  TestProxy proxy(TestProxy::Mode::Http);
  const std::optional<QByteArray> noProxy = variable("no_proxy");
  qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(proxy.port()));
  qunsetenv("no_proxy");
  server.serve("/text", Response(200, "1.0.4"));

  const HttpText answer = trustingClient().get(url("/text"));

  qunsetenv("https_proxy");
  if (noProxy) qputenv("no_proxy", *noProxy);
  EXPECT_EQ(answer.text, "1.0.4");
  EXPECT_EQ(proxy.connectTargets(),
            std::vector<std::string>{server.url().substr(std::string("https://").size())});
}

// The download's length check relies on receiving the body as it was sent.
TEST_F(HttpClientTest, AsksForCompressionForTextOnly) {
  QTemporaryDir folder;
  server.serve("/text", Response(200, "1.0.4"));
  trustingClient().get(url("/text"));
  trustingClient().download(url("/text"), folder.filePath("file"), 100);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].headers.at("accept-encoding"), "gzip, deflate");
  EXPECT_EQ(requests[1].headers.count("accept-encoding"), 0u);
}

TEST_F(HttpClientTest, DownloadReplacesTheFileWithExactlyTheBody) {
  QTemporaryDir folder;
  const QString file = folder.filePath("build");
  QFile old(file);
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write(QByteArray(10000, 'x'));
  old.close();
  std::string body;
  for (int i = 0; i < 3000; ++i) body += static_cast<char>(i * 7);
  server.serve("/build", Response(200, body));

  trustingClient().download(url("/build"), file, 3000);

  QFile in(file);
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  EXPECT_EQ(in.readAll().toStdString(), body);
}

// Without a Content-Length the cap is all that bounds the file.
TEST_F(HttpClientTest, DownloadBeyondTheCapIsRefusedAndRemoved) {
  QTemporaryDir folder;
  const QString file = folder.filePath("build");
  server.serve("/build", Response(200, std::string(5000, 'b')).endByClosing());

  EXPECT_EQ(failureOf([&] { trustingClient().download(url("/build"), file, 4999); }),
            server.url() + "/build: the body is larger than 4999 bytes");
  EXPECT_FALSE(QFile::exists(file));
  if (runningUnderWine()) GTEST_SKIP() << kWineEndsNoBodyByClosing;
  trustingClient().download(url("/build"), file, 5000);
  EXPECT_EQ(QFile(file).size(), 5000);
}

}  // namespace
}  // namespace quorrel::testing
