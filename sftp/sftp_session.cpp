#include "sftp_session.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "session_adapters.h"

namespace quorrel {

namespace {

constexpr int32_t kMinimumBuild = 8;
constexpr int32_t kExpectedConfCount = 84;
constexpr int32_t kUnsetErrorCode = -1000;

struct IgnoringCase {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) <
             std::tolower(static_cast<unsigned char>(y));
    });
  }
};
using ConfIndex = std::map<std::string, int32_t, IgnoringCase>;

// The configuration name index all sessions share: built once under the lock,
// read without it, freed at exit.
std::mutex confIndexLock;
std::unique_ptr<const ConfIndex> confIndexOwner;
std::atomic<const ConfIndex*> confIndex{nullptr};

void buildConfIndex(PConfPAnsiCharArray names, int32_t count) {
  std::lock_guard<std::mutex> lock(confIndexLock);
  if (confIndex.load(std::memory_order_acquire)) return;
  auto index = std::make_unique<ConfIndex>();
  for (int32_t i = 0; i < count; ++i) index->emplace((*names)[i] ? (*names)[i] : "", i);
  confIndex.store(index.get(), std::memory_order_release);
  confIndexOwner = std::move(index);
}

// A calendar time in UTC as seconds since 1970, as every system counts them.
// Fields out of their range carry over, as the C library's functions do.
int64_t secondsSinceEpoch(const std::tm& utc) {
  using namespace std::chrono;
  const year_month firstMonth = year{utc.tm_year + 1900} / January + months{utc.tm_mon};
  const sys_days firstDay{firstMonth / 1};
  return duration_cast<seconds>(firstDay.time_since_epoch() + days{utc.tm_mday - 1} +
                                hours{utc.tm_hour} + minutes{utc.tm_min} + seconds{utc.tm_sec})
      .count();
}

}  // namespace

TSftpSession::TSftpSession(bool verbose, QsshlibBinding& library)
    : FVerbose(verbose), library_(library) {
  std::memset(&Fcontext, 0, sizeof Fcontext);
  try {
    build();
  } catch (...) {
    release();
    throw;
  }
}

void TSftpSession::build() {
  double release = 0;
  int32_t build = 0;
  library_.qsshgetversions(&release, &build);
  if (build < kMinimumBuild)
    throw Exception("qsshlib is too old, its build number is " + std::to_string(build) +
                    ", but we need a minimum of " + std::to_string(kMinimumBuild));
  Fcontext.timeoutticks = QSSH_DEFAULT_TIMEOUT_TICKS;
  Fcontext.connectiontimeoutticks = QSSH_DEFAULT_TIMEOUT_TICKS;
  Fcontext.structsize = QSSH_CONTEXT_SIZE;
  if (library_.qsshgetcontextsize() > QSSH_CONTEXT_SIZE)
    throw Exception("Incorrect TSshLibContext record size");
  Fcontext.Tag = reinterpret_cast<uint64_t>(this);
  Fcontext.ls_callback = &SessionAdapters::listing;
  Fcontext.getpassword_callback = &SessionAdapters::password;
  Fcontext.printmessage_callback = &SessionAdapters::message;
  Fcontext.progress_callback = &SessionAdapters::progress;
  Fcontext.read_from_stream = &SessionAdapters::readStream;
  Fcontext.write_to_stream = &SessionAdapters::writeStream;
  Fcontext.get_input_callback = &SessionAdapters::input;
  Fcontext.verify_host_key_callback = &SessionAdapters::hostKey;
  Fcontext.raise_exception_callback = &SessionAdapters::raise;
  Fcontext.leavecriticalsection_callback = &SessionAdapters::leaveCriticalSection;
  if (library_.qssh_initcontext(FVerbose, &Fcontext) != 0)
    throw SftpSessionException("qssh_initcontext failed - incorrect qsshlib version?");
  if (!library_.qssh_getconfigarrays(&FConfTypes, &FConfSubTypes, &FConfNames, &FConfCount))
    throw SftpSessionException("qssh_getconfigarrays failed - incorrect qsshlib version?");
  if (FConfCount != kExpectedConfCount) {
    const std::string line = "Possibly qsshlib version mismatch, it has " +
                             std::to_string(FConfCount) + " config strings, but we expected " +
                             std::to_string(kExpectedConfCount);
    SessionAdapters::message(line.c_str(), false, &Fcontext);
  }
  buildConfIndex(FConfNames, FConfCount);
}

TSftpSession::~TSftpSession() {
  release();
}

// Disconnects and frees the context once, also for a session whose
// construction stopped early. A library that could not be loaded has nothing
// to free.
void TSftpSession::release() noexcept {
  Disconnect();
  try {
    library_.qsshfree(&Fcontext);
  } catch (const ExternalException&) {
  }
}

void TSftpSession::SetKeyfile(const std::string& path) {
  library_.qssh_setkeyfile(path.c_str(), &Fcontext);
}

void TSftpSession::SetVerbose(bool value) {
  library_.qssh_setverbose(value);
  FVerbose = value;
}

int32_t TSftpSession::GetConfIndex(const std::string& name) const {
  const ConfIndex* index = confIndex.load(std::memory_order_acquire);
  if (index) {
    const auto found = index->find(name);
    if (found != index->end()) return found->second;
  }
  throw SftpSessionException("Conf Name Not Found: " + name);
}

TProxyTypes TSftpSession::ProxyType() {
  return static_cast<TProxyTypes>(
      library_.qssh_conf_get_int(GetConfIndex("proxy_type"), &Fcontext));
}
void TSftpSession::SetProxyType(TProxyTypes value) {
  library_.qssh_conf_set_int(GetConfIndex("proxy_type"), value, &Fcontext);
}
std::string TSftpSession::ProxyHost() {
  return copyOf(library_.qssh_conf_get_str(GetConfIndex("proxy_host"), &Fcontext));
}
void TSftpSession::SetProxyHost(const std::string& value) {
  library_.qssh_conf_set_str(GetConfIndex("proxy_host"), value.c_str(), &Fcontext);
}
int32_t TSftpSession::ProxyPort() {
  return library_.qssh_conf_get_int(GetConfIndex("proxy_port"), &Fcontext);
}
void TSftpSession::SetProxyPort(int32_t value) {
  library_.qssh_conf_set_int(GetConfIndex("proxy_port"), value, &Fcontext);
}
std::string TSftpSession::ProxyUserName() {
  return copyOf(library_.qssh_conf_get_str(GetConfIndex("proxy_username"), &Fcontext));
}
void TSftpSession::SetProxyUserName(const std::string& value) {
  library_.qssh_conf_set_str(GetConfIndex("proxy_username"), value.c_str(), &Fcontext);
}
std::string TSftpSession::ProxyPassword() {
  return copyOf(library_.qssh_conf_get_str(GetConfIndex("proxy_password"), &Fcontext));
}
void TSftpSession::SetProxyPassword(const std::string& value) {
  library_.qssh_conf_set_str(GetConfIndex("proxy_password"), value.c_str(), &Fcontext);
}

int32_t TSftpSession::RateLimit() {
  return library_.qssh_conf_get_int(GetConfIndex("transfer_rate_limit"), &Fcontext);
}
void TSftpSession::SetRateLimit(int32_t kibPerSecond) {
  library_.qssh_conf_set_int(GetConfIndex("transfer_rate_limit"), kibPerSecond, &Fcontext);
}

std::string TSftpSession::HomeDir() const {
  return copyOf(Fcontext.homedir);
}
std::string TSftpSession::WorkDir() const {
  return copyOf(Fcontext.pwd);
}
std::string TSftpSession::ErrorMessage() const {
  return copyOf(Fcontext.fxp_error_message);
}

std::string TSftpSession::LibVersion() {
  double release = 0;
  int32_t build = 0;
  library_.qsshgetversions(&release, &build);
  char releaseText[32];
  std::snprintf(releaseText, sizeof releaseText, "%.2f", release);
  return "qsshlib build " + std::to_string(build) + " based on SSH engine release " + releaseText;
}

std::string TSftpSession::MakeSftpErrorMsg(const std::string& where) const {
  const int32_t code = Fcontext.fxp_errtype;
  if (code >= 0) return where + ": Error " + std::to_string(code) + ", " + ErrorMessage();
  return where + ": Unknown Error.\r\n" + FLastMessages;
}

void TSftpSession::beginOperation() {
  FLastMessages.clear();
  Fcontext.fxp_errtype = kUnsetErrorCode;
}

void TSftpSession::check(bool succeeded, const char* label) {
  if (!succeeded) throw SftpSessionException(MakeSftpErrorMsg(label));
}

void TSftpSession::Connect() {
  FPasswordAttempts = 0;
  beginOperation();
  const int32_t result = library_.qsftp_connect(FHostName.c_str(), FUserName.c_str(), FPort,
                                                FPassword.c_str(), &Fcontext);
  FConnected = result == 0;
  check(result == 0, "qsftp_connect");
}

// Closing cannot fail in a way the caller could act on: an error of a handler
// while the connection closes is kept among the last messages instead.
void TSftpSession::Disconnect() noexcept {
  if (!FConnected) return;
  FConnected = false;
  try {
    library_.qsftp_close(&Fcontext);
  } catch (const std::exception& error) {
    FLastMessages += std::string("Closing the connection: ") + error.what() + "\r\n";
  } catch (...) {
    FLastMessages += "Closing the connection failed.\r\n";
  }
}

void TSftpSession::ChangeDir(const std::string& ADirectory) {
  beginOperation();
  check(library_.qsftp_cd(ADirectory.c_str(), &Fcontext) == 1, "qsftp_cd");
}

void TSftpSession::MakeDir(const std::string& ADirectory) {
  beginOperation();
  check(library_.qsftp_mkdir(ADirectory.c_str(), &Fcontext) == 1, "qsftp_mkdir");
}

void TSftpSession::RemoveDir(const std::string& ADirectory) {
  beginOperation();
  check(library_.qsftp_rmdir(ADirectory.c_str(), &Fcontext) == 1, "qsftp_rmdir");
}

void TSftpSession::ListDir(const std::string& ADirectory) {
  beginOperation();
  check(library_.qsftp_ls(ADirectory.c_str(), &Fcontext) == 1, "qsftp_ls");
}

void TSftpSession::GetStat(const std::string& AFileName, fxp_attrs& Attrs) {
  beginOperation();
  check(library_.qsftp_getstat(AFileName.c_str(), &Attrs, &Fcontext) != 0, "qsftp_getstat");
}

void TSftpSession::SetStat(const std::string& AFileName, fxp_attrs& Attrs) {
  beginOperation();
  check(library_.qsftp_setstat(AFileName.c_str(), &Attrs, &Fcontext) != 0, "qsftp_setstat");
}

void TSftpSession::Move(const std::string& AFromName, const std::string& AToName) {
  beginOperation();
  check(library_.qsftp_mv(AFromName.c_str(), AToName.c_str(), &Fcontext) == 1, "qsftp_mv");
}

void TSftpSession::MoveEx(const std::string& AFromName, const std::string& AToName,
                          int32_t MoveFlags) {
  beginOperation();
  check(library_.qsftp_mvex(AFromName.c_str(), AToName.c_str(), MoveFlags, &Fcontext) == 1,
        "qsftp_mvex");
}

void TSftpSession::DeleteFile(const std::string& AName) {
  beginOperation();
  check(library_.qsftp_rm(AName.c_str(), &Fcontext) == 1, "qsftp_rm");
}

void TSftpSession::UploadFile(const std::string& ALocalFilename, const std::string& ARemoteFilename,
                              bool anAppend) {
  beginOperation();
  check(library_.qsftp_putfile(ALocalFilename.c_str(), ARemoteFilename.c_str(), anAppend,
                               &Fcontext) == 1,
        "qsftp_putfile");
}

void TSftpSession::DownloadFile(const std::string& ARemoteFilename,
                                const std::string& ALocalFilename, bool anAppend) {
  beginOperation();
  check(library_.qsftp_getfile(ARemoteFilename.c_str(), ALocalFilename.c_str(), anAppend,
                               &Fcontext) == 1,
        "qsftp_getfile");
}

namespace {

// Binds a stream for one call and always unbinds it.
class StreamBinding {
 public:
  StreamBinding(TStream*& slot, TStream& stream) : slot_(slot) { slot_ = &stream; }
  ~StreamBinding() { slot_ = nullptr; }

 private:
  TStream*& slot_;
};

}  // namespace

void TSftpSession::UploadStream(const std::string& ARemoteFilename, TStream& AStream,
                                bool anAppend) {
  FLastMessages.clear();
  StreamBinding bound(FUploadStream, AStream);
  Fcontext.fxp_errtype = kUnsetErrorCode;
  check(library_.qsftp_putfile(nullptr, ARemoteFilename.c_str(), anAppend, &Fcontext) == 1,
        "qsftp_putfile");
}

void TSftpSession::DownloadStream(const std::string& ARemoteFilename, TStream& AStream,
                                  bool anAppend) {
  FLastMessages.clear();
  StreamBinding bound(FDownloadStream, AStream);
  Fcontext.fxp_errtype = kUnsetErrorCode;
  check(library_.qsftp_getfile(ARemoteFilename.c_str(), nullptr, anAppend, &Fcontext) == 1,
        "qsftp_getfile");
}

void TSftpSession::DownloadStreamFrom(const std::string& ARemoteFilename, TStream& AStream,
                                      int64_t AOffset) {
  FLastMessages.clear();
  StreamBinding bound(FDownloadStream, AStream);
  Fcontext.fxp_errtype = kUnsetErrorCode;
  check(library_.qsftp_getfile_from(ARemoteFilename.c_str(), static_cast<uint64_t>(AOffset),
                                    &Fcontext) == 1,
        "qsftp_getfile_from");
}

void TSftpSession::SetFileSize(const std::string& AFileName, int64_t ASize) {
  fxp_attrs attrs{};
  GetStat(AFileName, attrs);
  attrs.flags = QSSH_ATTR_SIZE;
  attrs.size = static_cast<uint64_t>(ASize);
  SetStat(AFileName, attrs);
}

void TSftpSession::SetUnixMode(const std::string& AFileName, int32_t AMode) {
  fxp_attrs attrs{};
  GetStat(AFileName, attrs);
  attrs.flags = QSSH_ATTR_PERMISSIONS;
  attrs.permissions = static_cast<uint32_t>(AMode);
  SetStat(AFileName, attrs);
}

void TSftpSession::SetModifiedDate(const std::string& AFileName, std::tm ATimestamp, bool isUTC) {
  fxp_attrs attrs{};
  GetStat(AFileName, attrs);
  const int64_t seconds = isUTC ? secondsSinceEpoch(ATimestamp) : mktime(&ATimestamp);
  attrs.flags = QSSH_ATTR_ACMODTIME;
  attrs.mtime = static_cast<uint32_t>(seconds < 0 ? 0 : seconds);
  SetStat(AFileName, attrs);
}

void* TSftpSession::OpenFile(const std::string& apathname, int32_t anopenflags, fxp_attrs* attrs) {
  return library_.qssh_openfile(apathname.c_str(), anopenflags, attrs, &Fcontext);
}

int32_t TSftpSession::CloseFile(void*& fh) {
  return library_.qssh_closefile(&fh, &Fcontext);
}

void* TSftpSession::xfer_upload_init(void* fh, uint64_t offset) {
  return library_.qssh_xfer_upload_init(fh, offset, &Fcontext);
}

bool TSftpSession::xfer_upload_ready(void* xfer) {
  return library_.qssh_xfer_upload_ready(xfer, &Fcontext) != 0;
}

void TSftpSession::xfer_upload_data(void* xfer, const void* buffer, int32_t len,
                                    uint64_t anoffset) {
  library_.qssh_xfer_upload_data(xfer, buffer, len, anoffset, &Fcontext);
}

bool TSftpSession::xfer_ensuredone(void* xfer) {
  return library_.qssh_xfer_ensuredone(xfer, &Fcontext) != 0;
}

bool TSftpSession::xfer_done(void* xfer) {
  return library_.qssh_xfer_done(xfer, &Fcontext) != 0;
}

void TSftpSession::xfer_cleanup(void* xfer) {
  library_.qssh_xfer_cleanup(xfer, &Fcontext);
}

}  // namespace quorrel
