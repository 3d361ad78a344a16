#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "exception.h"
#include "qsshlib.h"
#include "qsshlib_binding.h"
#include "stream.h"

namespace quorrel {

using TOnMessage = std::function<void(const std::string& Msg, bool isstderr)>;
using TOnProgress = std::function<bool(int64_t bytescopied, bool isupload)>;
using TOnListing = std::function<bool(fxp_names* names)>;
using TOnGetInput = std::function<std::string(bool& cancel)>;
// Called while the library waits for the network, at least every 100 ms.
using TOnIdle = std::function<void()>;
using TOnVerifyHostKey = std::function<bool(const char* host, int32_t port, const char* fingerprint,
                                            int32_t verificationstatus, bool& storehostkey)>;

// One SFTP connection over the SFTP library. Every failing operation raises
// SftpSessionException with a text naming the library function; errors
// raised by the event handlers leave the operation under way unchanged. The
// session stays usable after any failure. Texts are 8-bit strings passed to
// the library as they are; the messages the session builds are UTF-8.
class TSftpSession {
 public:
  explicit TSftpSession(bool verbose, QsshlibBinding& library = QsshlibBinding::instance());
  ~TSftpSession();
  TSftpSession(const TSftpSession&) = delete;
  TSftpSession& operator=(const TSftpSession&) = delete;

  // Settings.
  const std::string& HostName() const { return FHostName; }
  void SetHostName(std::string value) { FHostName = std::move(value); }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string value) { FUserName = std::move(value); }
  int32_t Port() const { return FPort; }
  void SetPort(int32_t value) { FPort = value; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string value) { FPassword = std::move(value); }
  const std::string& KeyPassword() const { return FKeyPassword; }
  void SetKeyPassword(std::string value) { FKeyPassword = std::move(value); }
  void SetKeyfile(const std::string& path);
  bool Verbose() const { return FVerbose; }
  void SetVerbose(bool value);
  int32_t TimeoutTicks() const { return Fcontext.timeoutticks; }
  void SetTimeoutTicks(int32_t value) { Fcontext.timeoutticks = value; }
  int32_t ConnectionTimeoutTicks() const { return Fcontext.connectiontimeoutticks; }
  void SetConnectionTimeoutTicks(int32_t value) { Fcontext.connectiontimeoutticks = value; }
  bool Aborted() const { return Fcontext.aborted != 0; }
  void SetAborted(bool value) { Fcontext.aborted = value ? 1 : 0; }

  TProxyTypes ProxyType();
  void SetProxyType(TProxyTypes value);
  std::string ProxyHost();
  void SetProxyHost(const std::string& value);
  int32_t ProxyPort();
  void SetProxyPort(int32_t value);
  std::string ProxyUserName();
  void SetProxyUserName(const std::string& value);
  std::string ProxyPassword();
  void SetProxyPassword(const std::string& value);
  // The cap on the transfer speed in KiB/s; 0 for none.
  int32_t RateLimit();
  void SetRateLimit(int32_t kibPerSecond);

  // State.
  std::string HomeDir() const;
  std::string WorkDir() const;
  std::string LibVersion();
  bool Connected() const { return FConnected; }
  const std::string& LastMessages() const { return FLastMessages; }
  void SetLastMessages(std::string value) { FLastMessages = std::move(value); }
  int32_t ErrorCode() const { return Fcontext.fxp_errtype; }
  std::string ErrorMessage() const;

  // Event handlers; an empty one is none.
  TOnMessage OnMessage;
  TOnProgress OnProgress;
  TOnListing OnListing;
  TOnGetInput OnGetInput;
  TOnVerifyHostKey OnVerifyHostKey;
  TOnIdle OnIdle;

  // Operations.
  void Connect();
  void Disconnect() noexcept;
  void ChangeDir(const std::string& ADirectory);
  void MakeDir(const std::string& ADirectory);
  void RemoveDir(const std::string& ADirectory);
  void ListDir(const std::string& ADirectory);
  void GetStat(const std::string& AFileName, fxp_attrs& Attrs);
  void SetStat(const std::string& AFileName, fxp_attrs& Attrs);
  void Move(const std::string& AFromName, const std::string& AToName);
  void MoveEx(const std::string& AFromName, const std::string& AToName, int32_t MoveFlags);
  void DeleteFile(const std::string& AName);
  void UploadFile(const std::string& ALocalFilename, const std::string& ARemoteFilename,
                  bool anAppend);
  void DownloadFile(const std::string& ARemoteFilename, const std::string& ALocalFilename,
                    bool anAppend);
  void UploadStream(const std::string& ARemoteFilename, TStream& AStream, bool anAppend);
  void DownloadStream(const std::string& ARemoteFilename, TStream& AStream, bool anAppend);
  // Goes on with a download into `AStream` at `AOffset`: the stream holds the
  // bytes before it already.
  void DownloadStreamFrom(const std::string& ARemoteFilename, TStream& AStream, int64_t AOffset);
  void SetFileSize(const std::string& AFileName, int64_t ASize);
  void SetUnixMode(const std::string& AFileName, int32_t AMode);
  // The time is taken as UTC, or as local time when isUTC is false.
  void SetModifiedDate(const std::string& AFileName, std::tm ATimestamp, bool isUTC);

  // Pass-through: the library's results as they are, nothing checked.
  void* OpenFile(const std::string& apathname, int32_t anopenflags, fxp_attrs* attrs);
  int32_t CloseFile(void*& fh);
  void* xfer_upload_init(void* fh, uint64_t offset);
  bool xfer_upload_ready(void* xfer);
  void xfer_upload_data(void* xfer, const void* buffer, int32_t len, uint64_t anoffset);
  bool xfer_ensuredone(void* xfer);
  bool xfer_done(void* xfer);
  void xfer_cleanup(void* xfer);

  std::string MakeSftpErrorMsg(const std::string& where) const;
  int32_t GetConfIndex(const std::string& name) const;

 private:
  friend struct SessionAdapters;

  void build();
  void release() noexcept;
  void beginOperation();
  void check(bool succeeded, const char* label);

  TSshLibContext Fcontext;
  bool FVerbose = false;
  std::string FHostName;
  std::string FUserName;
  std::string FPassword;
  std::string FKeyPassword;
  int32_t FPort = 0;
  TStream* FUploadStream = nullptr;
  TStream* FDownloadStream = nullptr;
  bool FConnected = false;
  int32_t FPasswordAttempts = 0;
  std::string FLastMessages;
  PConfPAnsiCharArray FConfNames = nullptr;
  PConfIntArray FConfTypes = nullptr;
  PConfIntArray FConfSubTypes = nullptr;
  int32_t FConfCount = 0;
  QsshlibBinding& library_;
};

}  // namespace quorrel
