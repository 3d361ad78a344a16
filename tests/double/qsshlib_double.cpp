// A scriptable stand-in for libqsshlib, loaded through the same lazy binding,
// for the session's edge cases that a real server cannot produce.
#include "qsshlib_double.h"

#include <algorithm>
#include <cstring>

namespace quorrel::testing {

namespace {

DoubleScript script;
// Room for more names than the real library has, for the mismatch cases.
const char* names[QSSH_CONF_COUNT * 2];
TConfIntArray types;
TConfIntArray subtypes;

std::vector<std::string> defaultConfNames() {
  std::vector<std::string> confNames;
  for (int i = 0; confNames.size() < QSSH_CONF_COUNT - 5; ++i)
    confNames.push_back("setting_" + std::to_string(i));
  for (const char* proxy :
       {"proxy_type", "proxy_host", "proxy_port", "proxy_username", "proxy_password"})
    confNames.push_back(proxy);
  return confNames;
}

std::string text(const char* value) {
  return value ? value : "<null>";
}

// Records the call, runs the test's action and answers with the scripted
// result, leaving the scripted error in the context when it is a failure.
int32_t answer(const char* function, std::vector<std::string> args, TSshLibContext* ctx,
               int32_t success) {
  script.calls.push_back(function);
  script.arguments.push_back(std::move(args));
  if (auto action = script.actions.find(function); action != script.actions.end())
    action->second(ctx);
  const auto scripted = script.results.find(function);
  const int32_t result = scripted == script.results.end() ? success : scripted->second;
  if (result != success && ctx && script.errorCode >= 0) {
    ctx->fxp_errtype = script.errorCode;
    ctx->fxp_error_message = script.errorMessage.data();
  }
  return result;
}

}  // namespace

}  // namespace quorrel::testing

using quorrel::testing::answer;
using quorrel::testing::DoubleScript;
using quorrel::testing::script;
using quorrel::testing::text;

extern "C" {

#ifdef _WIN32
#define QSSH_DOUBLE __declspec(dllexport)
#else
#define QSSH_DOUBLE __attribute__((visibility("default")))
#endif

QSSH_DOUBLE DoubleScript* qsshdouble_script() {
  return &script;
}

QSSH_DOUBLE void qssh_conf_set_str(int32_t index, const char* value, TSshLibContext* ctx) {
  script.confStrings[index] = text(value);
  answer("qssh_conf_set_str", {std::to_string(index), text(value)}, ctx, 0);
}
QSSH_DOUBLE void qssh_conf_set_int(int32_t index, int32_t value, TSshLibContext* ctx) {
  script.confInts[index] = value;
  answer("qssh_conf_set_int", {std::to_string(index), std::to_string(value)}, ctx, 0);
}
QSSH_DOUBLE const char* qssh_conf_get_str(int32_t index, TSshLibContext* ctx) {
  answer("qssh_conf_get_str", {std::to_string(index)}, ctx, 0);
  return script.confStrings[index].c_str();
}
QSSH_DOUBLE int32_t qssh_conf_get_int(int32_t index, TSshLibContext* ctx) {
  answer("qssh_conf_get_int", {std::to_string(index)}, ctx, 0);
  return script.confInts[index];
}
QSSH_DOUBLE void qssh_xfer_cleanup(void*, TSshLibContext* ctx) {
  answer("qssh_xfer_cleanup", {}, ctx, 0);
}
QSSH_DOUBLE qssh_bool qssh_xfer_done(void*, TSshLibContext* ctx) {
  return answer("qssh_xfer_done", {}, ctx, 1);
}
QSSH_DOUBLE qssh_bool qssh_xfer_ensuredone(void*, TSshLibContext* ctx) {
  return answer("qssh_xfer_ensuredone", {}, ctx, 1);
}
QSSH_DOUBLE void qssh_xfer_upload_data(void*, const void*, int32_t length, uint64_t offset,
                                       TSshLibContext* ctx) {
  answer("qssh_xfer_upload_data", {std::to_string(length), std::to_string(offset)}, ctx, 0);
}
QSSH_DOUBLE qssh_bool qssh_xfer_upload_ready(void*, TSshLibContext* ctx) {
  return answer("qssh_xfer_upload_ready", {}, ctx, 1);
}
QSSH_DOUBLE void* qssh_xfer_upload_init(void* filehandle, uint64_t offset, TSshLibContext* ctx) {
  answer("qssh_xfer_upload_init", {std::to_string(offset)}, ctx, 0);
  return filehandle;
}
QSSH_DOUBLE int32_t qssh_closefile(void** filehandle, TSshLibContext* ctx) {
  if (filehandle) *filehandle = nullptr;
  return answer("qssh_closefile", {}, ctx, 1);
}
QSSH_DOUBLE void* qssh_openfile(const char* path, int32_t flags, fxp_attrs*, TSshLibContext* ctx) {
  static int handle;
  return answer("qssh_openfile", {text(path), std::to_string(flags)}, ctx, 1) ? &handle : nullptr;
}
QSSH_DOUBLE qssh_bool qsftp_setstat(const char* path, fxp_attrs* attrs, TSshLibContext* ctx) {
  return answer("qsftp_setstat",
                {text(path), std::to_string(attrs->flags), std::to_string(attrs->size),
                 std::to_string(attrs->permissions), std::to_string(attrs->atime),
                 std::to_string(attrs->mtime)},
                ctx, 1);
}
QSSH_DOUBLE qssh_bool qsftp_getstat(const char* path, fxp_attrs* attrs, TSshLibContext* ctx) {
  attrs->flags = QSSH_ATTR_SIZE | QSSH_ATTR_PERMISSIONS | QSSH_ATTR_ACMODTIME;
  attrs->size = 1234;
  attrs->permissions = 0100644;
  attrs->atime = 1111;
  attrs->mtime = 2222;
  return answer("qsftp_getstat", {text(path)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_getfile(const char* remote, const char* local, qssh_bool append,
                                  TSshLibContext* ctx) {
  return answer("qsftp_getfile", {text(remote), text(local), std::to_string(append)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_getfile_from(const char* remote, uint64_t offset, TSshLibContext* ctx) {
  return answer("qsftp_getfile_from", {text(remote), std::to_string(offset)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_putfile(const char* local, const char* remote, qssh_bool append,
                                  TSshLibContext* ctx) {
  return answer("qsftp_putfile", {text(local), text(remote), std::to_string(append)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_mvex(const char* from, const char* to, int32_t flags,
                               TSshLibContext* ctx) {
  return answer("qsftp_mvex", {text(from), text(to), std::to_string(flags)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_mv(const char* from, const char* to, TSshLibContext* ctx) {
  return answer("qsftp_mv", {text(from), text(to)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_mkdir(const char* directory, TSshLibContext* ctx) {
  return answer("qsftp_mkdir", {text(directory)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_rmdir(const char* directory, TSshLibContext* ctx) {
  return answer("qsftp_rmdir", {text(directory)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_rm(const char* file, TSshLibContext* ctx) {
  return answer("qsftp_rm", {text(file)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_ls(const char* directory, TSshLibContext* ctx) {
  return answer("qsftp_ls", {text(directory)}, ctx, 1);
}
QSSH_DOUBLE int32_t qsftp_cd(const char* directory, TSshLibContext* ctx) {
  return answer("qsftp_cd", {text(directory)}, ctx, 1);
}
QSSH_DOUBLE void qsftp_close(TSshLibContext* ctx) {
  answer("qsftp_close", {}, ctx, 0);
}
QSSH_DOUBLE int32_t qsftp_connect(const char* host, const char* user, int32_t port,
                                  const char* password, TSshLibContext* ctx) {
  return answer("qsftp_connect", {text(host), text(user), std::to_string(port), text(password)},
                ctx, 0);
}
QSSH_DOUBLE void qssh_setkeyfile(const char* path, TSshLibContext* ctx) {
  answer("qssh_setkeyfile", {text(path)}, ctx, 0);
}
QSSH_DOUBLE qssh_bool qssh_getconfigarrays(PConfIntArray* typesOut, PConfIntArray* subtypesOut,
                                           PConfPAnsiCharArray* namesOut, int32_t* count) {
  using namespace quorrel::testing;
  if (script.confNames.empty()) script.confNames = defaultConfNames();
  std::memset(names, 0, sizeof names);
  for (size_t i = 0; i < script.confNames.size() && i < std::size(names); ++i)
    names[i] = script.confNames[i].c_str();
  *typesOut = &types;
  *subtypesOut = &subtypes;
  *namesOut = reinterpret_cast<PConfPAnsiCharArray>(&names);
  *count = static_cast<int32_t>(script.confNames.size());
  script.calls.push_back("qssh_getconfigarrays");
  script.arguments.push_back({});
  return script.getConfigArraysResult;
}
QSSH_DOUBLE void qsshgetversions(double* release, int32_t* build) {
  script.calls.push_back("qsshgetversions");
  script.arguments.push_back({});
  *release = script.release;
  *build = script.build;
}
QSSH_DOUBLE void qsshfree(TSshLibContext* ctx) {
  answer("qsshfree", {}, ctx, 0);
}
QSSH_DOUBLE void qssh_setverbose(qssh_bool verbose) {
  answer("qssh_setverbose", {std::to_string(verbose)}, nullptr, 0);
}
QSSH_DOUBLE int32_t qssh_initcontext(qssh_bool verbose, TSshLibContext* ctx) {
  answer("qssh_initcontext", {std::to_string(verbose)}, ctx, 0);
  return script.initContextResult;
}
QSSH_DOUBLE int32_t qsshgetcontextsize(void) {
  script.calls.push_back("qsshgetcontextsize");
  script.arguments.push_back({});
  return script.contextSize;
}

}  // extern "C"
