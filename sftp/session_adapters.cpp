#include "session_adapters.h"

#include <cstring>
#include <iostream>
#include <string>

#include "console.h"
#include "sftp_session.h"

namespace quorrel {

namespace {

// How often the password callback answers before it gives up.
constexpr int kPasswordAnswers = 3;

}  // namespace

std::string copyOf(const char* text) {
  return text ? text : "";
}

TSftpSession& SessionAdapters::of(TSshLibContext* ctx) {
  return *reinterpret_cast<TSftpSession*>(ctx->Tag);
}

qssh_bool SessionAdapters::listing(fxp_names* names, TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  return session.OnListing ? session.OnListing(names) : true;
}

const char* SessionAdapters::password(const char* prompt, const char*, qssh_bool* cancel,
                                      TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  if (++session.FPasswordAttempts <= kPasswordAnswers) {
    const bool forKey = std::strstr(prompt ? prompt : "", "Passphrase for key") != nullptr;
    *cancel = 0;
    return (forKey ? session.FKeyPassword : session.FPassword).c_str();
  }
  *cancel = 1;
  if (session.OnMessage)
    session.OnMessage("Password was rejected, or no password given for " + copyOf(prompt) + ".\r\n",
                      true);
  return nullptr;
}

void SessionAdapters::message(const char* text, qssh_bool isstderr, TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  const std::string line = copyOf(text);
  if (session.OnMessage) session.OnMessage(line, isstderr != 0);
  session.FLastMessages += line;
}

void SessionAdapters::leaveCriticalSection(TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  if (session.OnIdle) session.OnIdle();
}

qssh_bool SessionAdapters::progress(int64_t bytescopied, qssh_bool isupload, TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  return session.OnProgress ? session.OnProgress(bytescopied, isupload != 0) : true;
}

int32_t SessionAdapters::readStream(uint64_t offset, void* buffer, int32_t size,
                                    TSshLibContext* ctx) {
  TStream* stream = of(ctx).FUploadStream;
  if (!stream) return 0;
  stream->setPosition(static_cast<int64_t>(offset));
  return static_cast<int32_t>(stream->read(buffer, size));
}

int32_t SessionAdapters::writeStream(uint64_t offset, const void* data, int32_t length,
                                     TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  TStream* stream = session.FDownloadStream;
  if (!stream) return 0;
  stream->setPosition(static_cast<int64_t>(offset));
  const int64_t written = stream->write(data, length);
  if (session.OnProgress) session.OnProgress(static_cast<int64_t>(offset) + length, false);
  return static_cast<int32_t>(written);
}

qssh_bool SessionAdapters::input(char* buffer, int32_t capacity, TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  bool cancel = false;
  std::string answer;
  if (session.OnGetInput) {
    answer = session.OnGetInput(cancel);
  } else {
    answer = consoleLine();
  }
  if (cancel) return false;
  if (answer.size() > static_cast<size_t>(std::max(capacity, 0)))
    answer.resize(std::max(capacity, 0));
  std::memcpy(buffer, answer.data(), answer.size());
  buffer[answer.size()] = '\0';
  return true;
}

std::string SessionAdapters::consoleLine() {
  if (!standardInputIsTerminal()) throw Exception("No input method available");
  std::cout << "Your Input: " << std::flush;
  std::string line;
  if (!std::cout || !std::getline(std::cin, line)) throw Exception("No input method available");
  return line;
}

qssh_bool SessionAdapters::hostKey(const char* host, int32_t port, const char*, const char*,
                                   const char* fingerprint, int32_t status, qssh_bool* store,
                                   TSshLibContext* ctx) {
  TSftpSession& session = of(ctx);
  if (!session.OnVerifyHostKey) return false;
  bool storeKey = *store != 0;
  const bool accepted = session.OnVerifyHostKey(host, port, fingerprint, status, storeKey);
  *store = storeKey ? 1 : 0;
  return accepted;
}

void SessionAdapters::raise(const char* message, const char* sourcefile, int32_t line) {
  throw SftpSessionException("TSftpSession exception " + copyOf(message) + " at line " +
                             std::to_string(line) + " in " + copyOf(sourcefile));
}

}  // namespace quorrel
