#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qsshlib_binding.h"

namespace quorrel::testing {

struct HostKeyQuestion {
  std::string host;
  int port = 0;
  std::string keyType;
  std::string keyBase64;
  std::string fingerprint;
  int status = -1;
};

struct Block {
  uint64_t offset;
  size_t length;
};

// One library context with callbacks that record what the library did and
// answer from what the test prepared.
class LibraryContext {
 public:
  explicit LibraryContext(QsshlibBinding& binding = QsshlibBinding::instance(), bool verbose = true)
      : lib(binding) {
    std::memset(&ctx, 0, sizeof ctx);
    ctx.structsize = sizeof ctx;
    ctx.Tag = reinterpret_cast<uint64_t>(this);
    ctx.timeoutticks = 60000;
    ctx.connectiontimeoutticks = 60000;
    ctx.ls_callback = &LibraryContext::listing;
    ctx.getpassword_callback = &LibraryContext::password;
    ctx.printmessage_callback = &LibraryContext::message;
    ctx.progress_callback = &LibraryContext::progress;
    ctx.read_from_stream = &LibraryContext::readStream;
    ctx.write_to_stream = &LibraryContext::writeStream;
    ctx.verify_host_key_callback = &LibraryContext::hostKey;
    ctx.leavecriticalsection_callback = &LibraryContext::idle;
    EXPECT_EQ(lib.qssh_initcontext(verbose, &ctx), 0);
  }
  ~LibraryContext() {
    lib.qsftp_close(&ctx);
    lib.qsshfree(&ctx);
  }

  int confIndex(const char* name) {
    PConfIntArray types, subtypes;
    PConfPAnsiCharArray names;
    int32_t count = 0;
    lib.qssh_getconfigarrays(&types, &subtypes, &names, &count);
    for (int i = 0; i < count; ++i)
      if (std::strcmp((*names)[i], name) == 0) return i;
    ADD_FAILURE() << "no configuration name " << name;
    return -1;
  }
  void setConf(const char* name, const std::string& value) {
    lib.qssh_conf_set_str(confIndex(name), value.c_str(), &ctx);
  }
  void setConf(const char* name, int value) { lib.qssh_conf_set_int(confIndex(name), value, &ctx); }

  int connect(const std::string& host, int port, const std::string& user) {
    return lib.qsftp_connect(host.c_str(), user.c_str(), port, "", &ctx);
  }
  std::string error() const { return ctx.fxp_error_message ? ctx.fxp_error_message : ""; }
  std::string allMessages() const {
    std::string all;
    for (const auto& line : messages) all += line;
    return all;
  }

  QsshlibBinding& lib;
  TSshLibContext ctx;

  // Answers to password prompts; an empty optional answers null.
  std::deque<std::optional<std::string>> passwords;
  std::vector<std::string> prompts;
  std::vector<std::string> messages;
  std::vector<std::string> errorMessages;
  // Without a handler every key is accepted and the store flag is left alone.
  std::function<bool(const HostKeyQuestion&, qssh_bool*)> onHostKey;
  std::vector<HostKeyQuestion> hostKeyQuestions;
  std::function<bool(fxp_names*)> onListing;
  std::vector<std::string> listed;
  std::function<void(const Block&)> onBlock;
  std::vector<Block> blocks;
  std::string downloaded;
  std::string uploadSource;
  std::vector<int64_t> progressReports;
  std::function<bool(int64_t)> onProgress;
  // Called whenever the library gives its caller a turn while it waits.
  std::function<void()> onIdle;

 private:
  static LibraryContext& of(TSshLibContext* ctx) {
    return *reinterpret_cast<LibraryContext*>(ctx->Tag);
  }

  static qssh_bool listing(fxp_names* names, TSshLibContext* ctx) {
    LibraryContext& self = of(ctx);
    for (int i = 0; i < names->nnames; ++i) self.listed.emplace_back(names->names[i].filename);
    return self.onListing ? self.onListing(names) : 1;
  }
  static const char* password(const char* prompt, const char*, qssh_bool* cancel,
                              TSshLibContext* ctx) {
    LibraryContext& self = of(ctx);
    self.prompts.emplace_back(prompt);
    *cancel = 0;
    if (self.passwords.empty() || !self.passwords.front()) {
      if (!self.passwords.empty()) self.passwords.pop_front();
      *cancel = 1;
      return nullptr;
    }
    self.answer = *self.passwords.front();
    self.passwords.pop_front();
    return self.answer.c_str();
  }
  static void message(const char* text, qssh_bool isError, TSshLibContext* ctx) {
    (isError ? of(ctx).errorMessages : of(ctx).messages).emplace_back(text);
  }
  static qssh_bool progress(int64_t bytes, qssh_bool, TSshLibContext* ctx) {
    LibraryContext& self = of(ctx);
    self.progressReports.push_back(bytes);
    return self.onProgress ? self.onProgress(bytes) : 1;
  }
  static int32_t readStream(uint64_t offset, void* buffer, int32_t size, TSshLibContext* ctx) {
    const std::string& source = of(ctx).uploadSource;
    if (offset >= source.size()) return 0;
    const size_t count = std::min<size_t>(size, source.size() - offset);
    std::memcpy(buffer, source.data() + offset, count);
    return static_cast<int32_t>(count);
  }
  static int32_t writeStream(uint64_t offset, const void* data, int32_t length,
                             TSshLibContext* ctx) {
    LibraryContext& self = of(ctx);
    const Block block{offset, static_cast<size_t>(length)};
    self.blocks.push_back(block);
    if (self.downloaded.size() < offset + length) self.downloaded.resize(offset + length);
    std::memcpy(self.downloaded.data() + offset, data, length);
    if (self.onBlock) self.onBlock(block);
    return length;
  }
  static void idle(TSshLibContext* ctx) {
    LibraryContext& self = of(ctx);
    if (self.onIdle) self.onIdle();
  }
  static qssh_bool hostKey(const char* host, int32_t port, const char* type, const char* base64,
                           const char* fingerprint, int32_t status, qssh_bool* store,
                           TSshLibContext* ctx) {
    LibraryContext& self = of(ctx);
    HostKeyQuestion question{host, port, type, base64, fingerprint, status};
    self.hostKeyQuestions.push_back(question);
    return self.onHostKey ? self.onHostKey(question, store) : 1;
  }

  std::string answer;
};

}  // namespace quorrel::testing
