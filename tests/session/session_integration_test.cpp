// The session over the real library and a real sshd.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "../fixtures/sshd_server.h"
#include "../fixtures/user_data_home.h"
#include "sftp_session.h"

namespace quorrel::testing {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

class SessionIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
    server = std::make_unique<SshdServer>();
    session = std::make_unique<TSftpSession>(true);
    // The keys the library is told to remember go to a folder of this test.
    dataHome = server->dataDir().parent_path() / "data-home";
    setUserDataHome(dataHome);
    session->SetHostName(server->host());
    session->SetPort(server->port());
    session->SetUserName(SshdServer::user());
    session->SetPassword(SshdServer::password());
    session->OnVerifyHostKey = [](const char*, int32_t, const char*, int32_t, bool& store) {
      store = true;
      return true;
    };
    session->OnMessage = [this](const std::string& line, bool) { log += line; };
  }
  std::string remote(const std::string& name) const { return server->remoteDataDir() + "/" + name; }

  std::unique_ptr<SshdServer> server;
  std::unique_ptr<TSftpSession> session;
  fs::path dataHome;
  std::string log;
};

TEST_F(SessionIntegrationTest, ConnectsAndWalksATreeWithNestedListings) {
  writeFile(server->dataDir() / "tree" / "a.txt", "a");
  writeFile(server->dataDir() / "tree" / "Data" / "Data" / "x.bin", "x");
  writeFile(server->dataDir() / "tree" / "Data" / "y.bin", "y");
  fs::create_directories(server->dataDir() / "tree" / "empty");
  server->chownToUser(server->dataDir());
  session->Connect();
  EXPECT_TRUE(session->Connected());
  EXPECT_NE(log.find("Authenticated"), std::string::npos);
  EXPECT_TRUE(fs::exists(dataHome / "qsshlib" / "known_hosts"));

  std::vector<std::string> files;
  std::vector<std::string> folders;
  std::string current;
  session->OnListing = [&](fxp_names* names) {
    for (int i = 0; i < names->nnames; ++i) {
      const std::string name = names->names[i].filename;
      if (name == "." || name == "..") continue;
      const std::string path = current + "/" + name;
      if ((names->names[i].attrs.permissions & 0xF000) == 0x4000) {
        folders.push_back(path);
        const std::string parent = current;
        current = path;
        session->ListDir(remote("tree") + path);
        current = parent;
      } else {
        files.push_back(path);
      }
    }
    return true;
  };
  session->ListDir(remote("tree"));
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(files, (std::vector<std::string>{"/Data/Data/x.bin", "/Data/y.bin", "/a.txt"}));
  EXPECT_EQ(folders, (std::vector<std::string>{"/Data", "/Data/Data", "/empty"}));
}

TEST_F(SessionIntegrationTest, DownloadsIntoAFileWithProgressAndUploadsFromOne) {
  std::mt19937 generator(1);
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (char& byte : content) byte = static_cast<char>(generator());
  writeFile(server->dataDir() / "game.bin", content);
  server->chownToUser(server->dataDir());
  session->Connect();

  std::vector<int64_t> reports;
  session->OnProgress = [&](int64_t bytes, bool) {
    reports.push_back(bytes);
    return true;
  };
  const fs::path local = server->dataDir().parent_path() / "game.local";
  {
    TFileStream file(local.string(), O_WRONLY | O_CREAT | O_TRUNC);
    session->DownloadStream(remote("game.bin"), file, false);
    file.close();
  }
  EXPECT_TRUE(readFile(local) == content);
  ASSERT_GE(reports.size(), 2u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(reports.back(), static_cast<int64_t>(content.size()));

  {
    TFileStream file(local.string(), O_RDONLY);
    session->UploadStream(remote("uploaded.bin"), file, false);
  }
  EXPECT_TRUE(readFile(server->dataDir() / "uploaded.bin") == content);
  fs::remove(local);
}

TEST_F(SessionIntegrationTest, ReadsAndChangesAttributes) {
  writeFile(server->dataDir() / "attrs.txt", "0123456789");
  server->chownToUser(server->dataDir());
  session->Connect();
  fxp_attrs attrs{};
  session->GetStat(remote("attrs.txt"), attrs);
  EXPECT_EQ(attrs.size, 10u);
  session->SetFileSize(remote("attrs.txt"), 4);
  session->SetUnixMode(remote("attrs.txt"), 0640);
  std::tm when{};
  when.tm_year = 2001 - 1900;
  when.tm_mon = 8;
  when.tm_mday = 9;
  session->SetModifiedDate(remote("attrs.txt"), when, true);
  session->GetStat(remote("attrs.txt"), attrs);
  EXPECT_EQ(attrs.size, 4u);
  EXPECT_EQ(attrs.permissions & 07777, 0640u);
  EXPECT_EQ(attrs.mtime, 999993600u);  // 2001-09-09 00:00 UTC
}

// Each kind of failure reaches the caller as the session's error with the library's text.
TEST_F(SessionIntegrationTest, FailuresReachTheCallerWithTheLibrarysText) {
  const fs::path secret = server->dataDir() / "secret.bin";
  writeFile(secret, "root only");
  // By the server's system, where the test account must be kept out.
  ASSERT_EQ(runCommand({"chmod", "0400", secret.string()}).exitCode, 0);
  const std::vector<std::pair<std::function<void()>, std::string>> failures = {
      {[&] { session->ListDir(remote("missing")); }, "qsftp_ls: Error 2, No such file"},
      {[&] {
         TFileStream sink((server->dataDir().parent_path() / "sink").string(), O_WRONLY | O_CREAT);
         session->DownloadStream(remote("secret.bin"), sink, false);
       },
       "qsftp_getfile: Error 3, Permission denied"},
      {[&] { session->MakeDir(remote("missing/deeper")); }, "qsftp_mkdir: Error 2, No such file"},
  };
  session->Connect();
  for (const auto& [operation, text] : failures) {
    try {
      operation();
      ADD_FAILURE() << "no error for " << text;
    } catch (const SftpSessionException& error) {
      EXPECT_EQ(std::string(error.what()), text);
    }
  }
  session->SetPassword("wrong");
  try {
    session->Connect();
    ADD_FAILURE() << "connected with a wrong password";
  } catch (const SftpSessionException& error) {
    EXPECT_EQ(std::string(error.what()), "qsftp_connect: Error 104, Authentication cancelled");
  }
  EXPECT_FALSE(session->Connected());
}

}  // namespace
}  // namespace quorrel::testing
