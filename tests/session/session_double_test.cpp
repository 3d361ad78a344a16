// The session and its adapters against a scriptable double of the library.
#ifdef _WIN32
#include <windows.h>
// The session's DeleteFile, not the macro of windows.h.
#undef DeleteFile
#else
#include <dlfcn.h>
#endif
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "../double/qsshlib_double.h"
#include "sftp_session.h"

namespace quorrel::testing {
namespace {

constexpr const char* kDouble = QSSHLIB_DOUBLE_FILE;

// The double's own entry point, from the same loaded copy that the binding uses.
void* doubleFunction(const char* name) {
#ifdef _WIN32
  HMODULE handle = LoadLibraryA(kDouble);
  EXPECT_NE(handle, nullptr) << "error " << GetLastError();
  return reinterpret_cast<void*>(GetProcAddress(handle, name));
#else
  void* handle = dlopen(kDouble, RTLD_NOW);
  EXPECT_NE(handle, nullptr) << dlerror();
  return dlsym(handle, name);
#endif
}

DoubleScript& doubleScript() {
  static DoubleScript* script =
      reinterpret_cast<DoubleScript* (*)()>(doubleFunction("qsshdouble_script"))();
  return *script;
}

// A stream in memory that records the blocks written into it.
class MemoryStream : public TStream {
 public:
  void setPosition(int64_t position) override { position_ = position; }
  int64_t read(void* buffer, int64_t count) override {
    const int64_t available = std::max<int64_t>(0, static_cast<int64_t>(data.size()) - position_);
    const int64_t taken = std::min(count, available);
    std::memcpy(buffer, data.data() + position_, static_cast<size_t>(taken));
    position_ += taken;
    return taken;
  }
  int64_t write(const void* buffer, int64_t count) override {
    if (data.size() < static_cast<size_t>(position_ + count)) data.resize(position_ + count);
    std::memcpy(data.data() + position_, buffer, static_cast<size_t>(count));
    position_ += count;
    return count;
  }
  std::string data;

 private:
  int64_t position_ = 0;
};

class SessionDoubleTest : public ::testing::Test {
 protected:
  void SetUp() override { script().reset(); }
  static DoubleScript& script() { return doubleScript(); }
  std::unique_ptr<TSftpSession> create() { return std::make_unique<TSftpSession>(true, binding()); }
  static QsshlibBinding& binding() {
    static QsshlibBinding lib(kDouble);
    return lib;
  }
  template <typename Operation>
  static std::string errorOf(Operation operation) {
    try {
      operation();
    } catch (const SftpSessionException& error) {
      return error.what();
    }
    return "<no error>";
  }
};

struct FitCase {
  const char* name;
  int32_t build;
  int32_t contextSize;
  const char* error;  // empty: accepted
};

class LibraryFitTest : public SessionDoubleTest, public ::testing::WithParamInterface<FitCase> {};

TEST_P(LibraryFitTest, UnfitLibrariesAreRefusedAndTheirContextFreedOnce) {
  script().build = GetParam().build;
  script().contextSize = GetParam().contextSize;
  std::string error;
  try {
    create();
  } catch (const Exception& raised) {
    error = raised.what();
  }
  EXPECT_EQ(error, GetParam().error);
  EXPECT_EQ(script().count("qsshfree"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryFitTest,
    ::testing::Values(
        FitCase{"Build7", 7, 464,
                "qsshlib is too old, its build number is 7, but we need a minimum of 8"},
        FitCase{"Build8", 8, 464, ""}, FitCase{"Context464", 9, 464, ""},
        FitCase{"Context400", 8, 400, ""},
        FitCase{"Context465", 8, 465, "Incorrect TSshLibContext record size"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionDoubleTest, FailingSetUpCallsRaiseTheirMessages) {
  script().initContextResult = 1;
  EXPECT_EQ(errorOf([&] { create(); }), "qssh_initcontext failed - incorrect qsshlib version?");
  script().reset();
  script().getConfigArraysResult = 0;
  EXPECT_EQ(errorOf([&] { create(); }), "qssh_getconfigarrays failed - incorrect qsshlib version?");
  EXPECT_EQ(script().count("qsshfree"), 1);
}

class ConfCountTest : public SessionDoubleTest, public ::testing::WithParamInterface<int> {};

TEST_P(ConfCountTest, MismatchIsALineInTheMessagesThatTheNextOperationClears) {
  for (int i = 0; script().confNames.size() < static_cast<size_t>(GetParam()); ++i)
    script().confNames.push_back("name" + std::to_string(i));
  auto session = create();
  EXPECT_EQ(session->LastMessages(), "Possibly qsshlib version mismatch, it has " +
                                         std::to_string(GetParam()) +
                                         " config strings, but we expected 84");
  session->ChangeDir("/x");
  EXPECT_EQ(session->LastMessages(), "");
}

INSTANTIATE_TEST_SUITE_P(Counts, ConfCountTest, ::testing::Values(83, 85));

TEST_F(SessionDoubleTest, FailingConnectNamesTheCodeOrTheCollectedOutput) {
  auto session = create();
  script().results["qsftp_connect"] = 1;
  script().actions["qsftp_connect"] = [](TSshLibContext* ctx) {
    ctx->printmessage_callback("Resolving host\n", 0, ctx);
    ctx->printmessage_callback("Connection refused\n", 1, ctx);
  };
  EXPECT_EQ(errorOf([&] { session->Connect(); }),
            "qsftp_connect: Unknown Error.\r\nResolving host\nConnection refused\n");
  EXPECT_FALSE(session->Connected());

  script().errorCode = 104;
  script().errorMessage = "Authentication failed";
  EXPECT_EQ(errorOf([&] { session->Connect(); }),
            "qsftp_connect: Error 104, Authentication failed");
  script().results["qsftp_connect"] = 0;
  session->Connect();
  EXPECT_TRUE(session->Connected());
}

TEST_F(SessionDoubleTest, SuccessValuesDifferByFunction) {
  auto session = create();
  const struct {
    const char* function;
    int32_t result;
    std::function<void()> call;
  } failures[] = {
      {"qsftp_ls", 0, [&] { session->ListDir("/"); }},
      {"qsftp_ls", 2, [&] { session->ListDir("/"); }},
      {"qsftp_mkdir", 0, [&] { session->MakeDir("/d"); }},
      {"qsftp_rm", -1, [&] { session->DeleteFile("/f"); }},
      {"qsftp_connect", 1, [&] { session->Connect(); }},
  };
  for (const auto& failure : failures) {
    script().results = {{failure.function, failure.result}};
    EXPECT_THROW(failure.call(), SftpSessionException) << failure.function << " " << failure.result;
  }
  script().results = {{"qsftp_getstat", 7}};
  fxp_attrs attrs{};
  EXPECT_NO_THROW(session->GetStat("/f", attrs));  // any true byte
}

TEST_F(SessionDoubleTest, ConfigurationNamesIgnoreLetterCase) {
  auto session = create();
  EXPECT_EQ(session->GetConfIndex("PROXY_HOST"), session->GetConfIndex("proxy_host"));
  session->SetProxyHost("proxy.test");
  EXPECT_EQ(script().confStrings[session->GetConfIndex("proxy_host")], "proxy.test");
  EXPECT_EQ(session->ProxyHost(), "proxy.test");
  session->SetProxyType(PROXY_SOCKS5);
  EXPECT_EQ(session->ProxyType(), PROXY_SOCKS5);
}

// The name index is built once per process, so this runs in a fresh one.
TEST_F(SessionDoubleTest, MissingProxyNameMakesBothAccessorsRaise) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        script().confNames.clear();
        for (int i = 0; script().confNames.size() < 84; ++i)
          script().confNames.push_back("n" + std::to_string(i));
        script().confNames[0] = "proxy_host";
        auto session = create();
        const std::string getter = errorOf([&] { session->ProxyPort(); });
        const std::string setter = errorOf([&] { session->SetProxyPort(1); });
        std::fprintf(stderr, "[%s][%s]", getter.c_str(), setter.c_str());
        std::exit(getter == "Conf Name Not Found: proxy_port" && setter == getter ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SessionDoubleTest, NeverConnectedSessionFreesItsContextOnceAndClosesNothing) {
  auto session = create();
  session->Disconnect();
  session.reset();
  EXPECT_EQ(script().count("qsftp_close"), 0);
  EXPECT_EQ(script().count("qsshfree"), 1);
}

// A read that fails is an error, never the end of the file that would end an
// upload early as a whole one.
TEST(FileStreamTest, ReadErrorRaisesInsteadOfEndingTheFile) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "quorrel-write-only.bin";
  {
    TFileStream writeOnly(path.string(), O_WRONLY | O_CREAT | O_TRUNC);
    char buffer[16];
    try {
      writeOnly.read(buffer, sizeof buffer);
      ADD_FAILURE() << "a file opened for writing only cannot be read";
    } catch (const SftpSessionException& error) {
      EXPECT_EQ(std::string(error.what()).rfind("Cannot read ", 0), 0u) << error.what();
    }
  }
  std::filesystem::remove(path);
}

// Closing cannot fail for the caller: a handler's error while the library
// closes is kept among the last messages, and the session counts as closed.
TEST_F(SessionDoubleTest, DisconnectNeverRaisesAHandlersError) {
  auto session = create();
  script().results["qsftp_connect"] = 0;
  session->Connect();
  session->OnMessage = [](const std::string&, bool) { throw std::runtime_error("log is full"); };
  script().actions["qsftp_close"] = [](TSshLibContext* ctx) {
    ctx->printmessage_callback("closing", 0, ctx);
  };
  EXPECT_NO_THROW(session->Disconnect());
  EXPECT_FALSE(session->Connected());
  EXPECT_NE(session->LastMessages().find("log is full"), std::string::npos);
  session.reset();
  EXPECT_EQ(script().count("qsftp_close"), 1);
  EXPECT_EQ(script().count("qsshfree"), 1);
}

// While the library waits it steps out of its critical section: the session
// hands that turn to its idle handler.
TEST_F(SessionDoubleTest, LeavingTheCriticalSectionRunsTheIdleHandler) {
  auto session = create();
  int idle = 0;
  session->OnIdle = [&] { ++idle; };
  script().results["qsftp_ls"] = 1;
  script().actions["qsftp_ls"] = [](TSshLibContext* ctx) {
    ASSERT_NE(ctx->leavecriticalsection_callback, nullptr);
    ctx->leavecriticalsection_callback(ctx);
    ctx->leavecriticalsection_callback(ctx);
  };
  session->ListDir("/");
  EXPECT_EQ(idle, 2);
}

TEST_F(SessionDoubleTest, FailedDownloadLeavesNoStreamBound) {
  auto session = create();
  MemoryStream stream;
  script().results["qsftp_getfile"] = 0;
  EXPECT_THROW(session->DownloadStream("/f", stream, false), SftpSessionException);
  int32_t written = -1;
  script().actions["qsftp_ls"] = [&](TSshLibContext* ctx) {
    written = ctx->write_to_stream(0, "abc", 3, ctx);
  };
  session->ListDir("/");
  EXPECT_EQ(written, 0);
  EXPECT_TRUE(stream.data.empty());
}

TEST_F(SessionDoubleTest, OuterListingFailureReportsOnlyOutputSinceTheNestedListing) {
  auto session = create();
  int depth = 0;
  script().actions["qsftp_ls"] = [&](TSshLibContext* ctx) {
    if (++depth > 1) {
      ctx->printmessage_callback("inner\n", 0, ctx);
      return;
    }
    ctx->printmessage_callback("outer before\n", 0, ctx);
    fxp_names batch{0, 0, nullptr};
    ctx->ls_callback(&batch, ctx);
    ctx->printmessage_callback("outer after\n", 0, ctx);
    script().results["qsftp_ls"] = 0;
  };
  session->OnListing = [&](fxp_names*) {
    session->ListDir("/nested");
    return true;
  };
  EXPECT_EQ(errorOf([&] { session->ListDir("/"); }),
            "qsftp_ls: Unknown Error.\r\ninner\nouter after\n");
}

// The UTC calendar time becomes seconds since 1970: before 1970 it is stored
// as 0 with the access time kept, and fields beyond their range carry over
// into the next as the C library's timegm does (month 14 of 2019 is February
// 2020, its 30th day is 1 March, and so on).
TEST_F(SessionDoubleTest, ModifiedDateIsSecondsSince1970WithAccessTimeKept) {
  auto session = create();
  const auto calendar = [](int year, int month, int day, int hour = 0, int minute = 0,
                           int second = 0) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
  };
  const struct {
    std::tm utc;
    const char* mtime;
  } cases[] = {{calendar(1960, 5, 1), "0"},
               {calendar(2020, 0, 1), "1577836800"},
               {calendar(2019, 13, 30, 25, 61, 61), "1583114521"}};
  for (const auto& c : cases) session->SetModifiedDate("/f", c.utc, true);
  std::vector<std::vector<std::string>> setstats;
  for (size_t i = 0; i < script().calls.size(); ++i)
    if (script().calls[i] == "qsftp_setstat") setstats.push_back(script().arguments[i]);
  ASSERT_EQ(setstats.size(), std::size(cases));
  // path, flags, size, permissions, atime, mtime
  EXPECT_EQ(setstats[0], (std::vector<std::string>{"/f", "8", "1234", "33188", "1111", "0"}));
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(setstats[i][5], cases[i].mtime) << i;
}

TEST_F(SessionDoubleTest, SettersChangeOneFieldOfTheReadAttributes) {
  auto session = create();
  session->SetFileSize("/f", 99);
  session->SetUnixMode("/f", 0600);
  std::vector<std::vector<std::string>> setstats;
  for (size_t i = 0; i < script().calls.size(); ++i)
    if (script().calls[i] == "qsftp_setstat") setstats.push_back(script().arguments[i]);
  ASSERT_EQ(setstats.size(), 2u);
  EXPECT_EQ(setstats[0][1], "1");
  EXPECT_EQ(setstats[0][2], "99");
  EXPECT_EQ(setstats[1][1], "4");
  EXPECT_EQ(setstats[1][3], "384");
  EXPECT_EQ(script().count("qsftp_getstat"), 2);
}

struct PromptAnswer {
  std::string answer;  // "<null>" for null
  bool cancel;
};

PromptAnswer ask(TSshLibContext* ctx, const char* prompt) {
  qssh_bool cancel = 7;
  const char* answer = ctx->getpassword_callback(prompt, "", &cancel, ctx);
  return {answer ? answer : "<null>", cancel != 0};
}

TEST_F(SessionDoubleTest, PasswordAdapterAnswersThreeTimesPerConnectThenGivesUp) {
  auto session = create();
  session->SetPassword("secret");
  session->SetKeyPassword("keypass");
  std::vector<std::pair<std::string, bool>> shown;
  session->OnMessage = [&](const std::string& line, bool isstderr) {
    shown.emplace_back(line, isstderr);
  };
  std::vector<PromptAnswer> answers;
  script().actions["qsftp_connect"] = [&](TSshLibContext* ctx) {
    answers.push_back(ask(ctx, "Passphrase for key \"id\": "));
    answers.push_back(ask(ctx, "PASSPHRASE FOR KEY \"id\": "));
    answers.push_back(ask(ctx, "user@host's password: "));
    answers.push_back(ask(ctx, "user@host's password: "));
    answers.push_back(ask(ctx, "again: "));
  };
  session->Connect();
  ASSERT_EQ(answers.size(), 5u);
  EXPECT_EQ(answers[0].answer, "keypass");
  EXPECT_EQ(answers[1].answer, "secret");
  EXPECT_EQ(answers[2].answer, "secret");
  EXPECT_FALSE(answers[2].cancel);
  EXPECT_EQ(answers[3].answer, "<null>");
  EXPECT_TRUE(answers[3].cancel);
  EXPECT_EQ(answers[4].answer, "<null>");
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], std::make_pair(std::string("Password was rejected, or no password given for "
                                                 "user@host's password: .\r\n"),
                                     true));
  EXPECT_EQ(session->LastMessages(), "");  // the give-up line is not collected

  answers.clear();
  session->SetPassword("");
  session->Connect();
  EXPECT_EQ(answers[2].answer, "");  // an empty password is an empty text
  EXPECT_FALSE(answers[2].cancel);
  EXPECT_TRUE(answers[3].cancel);
}

TEST_F(SessionDoubleTest, MessagesAreCollectedWithOrWithoutAHandler) {
  auto session = create();
  script().actions["qsftp_cd"] = [](TSshLibContext* ctx) {
    ctx->printmessage_callback("one\n", 0, ctx);
    ctx->printmessage_callback("two\n", 1, ctx);
  };
  session->ChangeDir("/");
  EXPECT_EQ(session->LastMessages(), "one\ntwo\n");
}

TEST_F(SessionDoubleTest, DownloadWriterReportsTheOffsetReachedPerBlock) {
  const std::vector<std::vector<std::pair<uint64_t, std::string>>> downloads = {
      {{0, "abcdef"}},
      {{0, "abc"}, {3, "defgh"}},
  };
  const std::vector<std::vector<int64_t>> expectedReports = {{6}, {3, 8}};
  for (size_t i = 0; i < downloads.size(); ++i) {
    auto session = create();
    std::vector<int64_t> reports;
    session->OnProgress = [&](int64_t bytes, bool isupload) {
      EXPECT_FALSE(isupload);
      reports.push_back(bytes);
      return false;  // the answer is not used
    };
    script().actions["qsftp_getfile"] = [&](TSshLibContext* ctx) {
      for (const auto& [offset, block] : downloads[i])
        EXPECT_EQ(
            ctx->write_to_stream(offset, block.data(), static_cast<int32_t>(block.size()), ctx),
            static_cast<int32_t>(block.size()));
    };
    MemoryStream stream;
    session->DownloadStream("/f", stream, false);
    EXPECT_EQ(reports, expectedReports[i]);
    EXPECT_EQ(stream.data.substr(0, 3), "abc");
  }
}

// A download that goes on hands the library its offset, binds the stream
// like any download, and names its own function when it fails.
TEST_F(SessionDoubleTest, DownloadFromAnOffsetPassesItAndNamesItsFunction) {
  auto session = create();
  MemoryStream stream;
  script().actions["qsftp_getfile_from"] = [](TSshLibContext* ctx) {
    EXPECT_EQ(ctx->write_to_stream(3, "xy", 2, ctx), 2);
  };
  session->DownloadStreamFrom("/f", stream, 5000000000);
  ASSERT_EQ(script().count("qsftp_getfile_from"), 1);
  EXPECT_EQ(script().arguments.back(), (std::vector<std::string>{"/f", "5000000000"}));
  EXPECT_EQ(stream.data.substr(3), "xy");

  script().results["qsftp_getfile_from"] = 0;
  script().errorCode = QSSH_ERR_CONNECTION_LOST;
  script().errorMessage = "lost";
  try {
    session->DownloadStreamFrom("/f", stream, 1);
    ADD_FAILURE() << "no failure";
  } catch (const SftpSessionException& error) {
    EXPECT_STREQ(error.what(), "qsftp_getfile_from: Error 110, lost");
  }
}

TEST_F(SessionDoubleTest, UploadReaderReadsFromTheBoundStreamAtTheOffset) {
  auto session = create();
  MemoryStream stream;
  stream.data = "0123456789";
  std::string read(4, '\0');
  int32_t count = 0;
  script().actions["qsftp_putfile"] = [&](TSshLibContext* ctx) {
    count = ctx->read_from_stream(6, read.data(), 4, ctx);
  };
  session->UploadStream("/f", stream, false);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(read, "6789");
}

struct InputCase {
  const char* name;
  std::string answer;
  bool cancel;
  int32_t capacity;
  bool expectedResult;
  std::string expectedBuffer;  // up to and with the terminator
};

class InputAdapterTest : public SessionDoubleTest,
                         public ::testing::WithParamInterface<InputCase> {};

TEST_P(InputAdapterTest, PlacesTheAnswerCutAtTheCapacity) {
  const InputCase& c = GetParam();
  auto session = create();
  session->OnGetInput = [&](bool& cancel) {
    cancel = c.cancel;
    return c.answer;
  };
  std::string buffer(c.capacity + 1, 'X');
  bool result = false;
  script().actions["qsftp_connect"] = [&](TSshLibContext* ctx) {
    result = ctx->get_input_callback(buffer.data(), c.capacity, ctx);
  };
  session->Connect();
  EXPECT_EQ(result, c.expectedResult);
  EXPECT_EQ(buffer.substr(0, c.expectedBuffer.size()), c.expectedBuffer);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InputAdapterTest,
    ::testing::Values(
        InputCase{"Short", "yes", false, 8, true, std::string("yes\0", 4)},
        InputCase{"ExactlyTheCapacity", "abcd", false, 4, true, std::string("abcd\0", 5)},
        InputCase{"LongerThanTheCapacity", "abcdefgh", false, 4, true, std::string("abcd\0", 5)},
        InputCase{"Empty", "", false, 4, true, std::string("\0", 1)},
        InputCase{"Cancelled", "ignored", true, 4, false, "XXXXX"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionDoubleTest, InputWithoutHandlerOrConsoleRaisesItsError) {
  auto session = create();
  ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
  script().actions["qsftp_connect"] = [](TSshLibContext* ctx) {
    char buffer[8];
    ctx->get_input_callback(buffer, 7, ctx);
  };
  try {
    session->Connect();
    FAIL() << "no error";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "No input method available");
  }
}

TEST_F(SessionDoubleTest, HostKeysAreRefusedWithoutAHandlerAndForwardedWithOne) {
  auto session = create();
  std::vector<int> answers;
  script().actions["qsftp_connect"] = [&](TSshLibContext* ctx) {
    qssh_bool store = 0;
    answers.push_back(
        ctx->verify_host_key_callback("h", 22, "ssh-ed25519", "AAAA", "SHA256:x", 1, &store, ctx));
    answers.push_back(store);
  };
  session->Connect();
  session->OnVerifyHostKey = [](const char* host, int32_t port, const char* fingerprint,
                                int32_t status, bool& store) {
    store = std::string(host) == "h" && port == 22 && std::string(fingerprint) == "SHA256:x" &&
            status == 1;
    return true;
  };
  session->Connect();
  EXPECT_EQ(answers, (std::vector<int>{0, 0, 1, 1}));
}

TEST_F(SessionDoubleTest, RaiseAdapterAndHandlerErrorsLeaveTheOperationWithTheirOwnText) {
  auto session = create();
  script().actions["qsftp_cd"] = [](TSshLibContext* ctx) {
    ctx->raise_exception_callback("m", "f.cpp", 12);
  };
  EXPECT_EQ(errorOf([&] { session->ChangeDir("/"); }),
            "TSftpSession exception m at line 12 in f.cpp");

  script().actions["qsftp_ls"] = [](TSshLibContext* ctx) {
    fxp_names batch{0, 0, nullptr};
    ctx->ls_callback(&batch, ctx);
  };
  session->OnListing = [](fxp_names*) -> bool { throw std::runtime_error("from the handler"); };
  EXPECT_THROW(
      {
        try {
          session->ListDir("/");
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "from the handler");
          throw;
        }
      },
      std::runtime_error);
  session->OnListing = nullptr;
  EXPECT_NO_THROW(session->ListDir("/"));  // still usable
}

TEST_F(SessionDoubleTest, LibVersionNamesBuildAndReleaseWithTwoDecimals) {
  script().release = 0.1;
  auto session = create();
  EXPECT_EQ(session->LibVersion(), "qsshlib build 8 based on SSH engine release 0.10");
}

}  // namespace
}  // namespace quorrel::testing
