// The handlers the flows plug into their sessions, and the text splitter.
#include "form_harness.h"

namespace quorrel::testing {
namespace {

TEST(ExplodeTest, SplitsAsTheFileListNeeds) {
  const struct {
    QString delimiter, text;
    int limit;
    QStringList pieces;
  } cases[] = {
      {"/", "/a/b", 0, {"", "a", "b"}},
      {"|", "a||b", 0, {"a", "", "b"}},
      {"|", "a|", 0, {"a"}},
      {"|", "", 0, {}},
      {"|", "/upload/x|42", 0, {"/upload/x", "42"}},
      {"::", "a::b::c", 2, {"a", "b::c"}},
      {"|", "no delimiter", 0, {"no delimiter"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TForm1::explode(c.delimiter, c.text, c.limit), c.pieces) << c.text.toStdString();
}

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.dialogs.browserAnswers = {std::nullopt};
    form = &harness.start();
  }
  FormHarness harness;
  TForm1* form = nullptr;
};

TEST_F(HandlerTest, MessagesAndInputRequestsGoToTheLog) {
  form->MessageCallback("Connected to patch.example port 22\r\n", false);
  form->MessageCallback("Access denied\n", true);
  bool cancel = true;
  EXPECT_EQ(form->GetInputCallback(cancel), "");
  EXPECT_FALSE(cancel);
  EXPECT_EQ(form->Memo1, (QStringList{"Connected to patch.example port 22", "Access denied",
                                      "Replying with empty line."}));
}

struct HostKeyCase {
  const char* name;
  QStringList pinned;
  int status;
  bool accepted;
  bool stored;
};

class HostKeyHandlerTest : public ::testing::TestWithParam<HostKeyCase> {};

TEST_P(HostKeyHandlerTest, AcceptsPinnedOrFirstSeenKeysOnly) {
  const HostKeyCase& c = GetParam();
  FormHarness harness;
  harness.config().hostKeySha256 = c.pinned;
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start();
  bool store = false;
  EXPECT_EQ(form.VerifyHostKeyCallback("patch.test", 22, "SHA256:right", c.status, store),
            c.accepted);
  EXPECT_EQ(store, c.stored);
  EXPECT_EQ(form.Memo1.size(), c.accepted ? 0 : 1);
  if (!c.accepted) {
    EXPECT_TRUE(form.Memo1[0].startsWith("Host key of patch.test port 22 refused:"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostKeyHandlerTest,
    ::testing::Values(HostKeyCase{"KnownMatching", {}, 0, true, false},
                      HostKeyCase{"FirstSeen", {}, 1, true, true},
                      HostKeyCase{"NoKnownHostsYet", {}, 4, true, true},
                      HostKeyCase{"Changed", {}, 2, false, false},
                      HostKeyCase{"OtherType", {}, 3, false, false},
                      HostKeyCase{
                          "PinnedMatches", {"SHA256:other", "SHA256:right"}, 2, true, false},
                      HostKeyCase{"PinnedDiffers", {"SHA256:other"}, 0, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorrel::testing
