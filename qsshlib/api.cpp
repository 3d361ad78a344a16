// The exported functions: each finds the context's state, runs one operation
// and turns the library's own failures into a result and the context's error
// fields. Errors thrown by callbacks pass through unchanged.
#include <libssh/libssh_version.h>

#include <atomic>

#include "config.h"
#include "connect.h"
#include "context_state.h"
#include "lib_error.h"
#include "operations.h"
#include "qsshlib.h"

namespace qssh {
extern std::atomic<int> globalVerbose;
}

using namespace qssh;

namespace {

constexpr int32_t kBuildNumber = 8;

template <typename Operation>
bool run(TSshLibContext* ctx, Operation operation) {
  ContextState* state = ContextState::of(ctx);
  if (!state) {
    if (ctx) ctx->fxp_errtype = QSSH_ERR_NOT_CONNECTED;
    return false;
  }
  LibsshLogScope logging(*state);
  try {
    operation(*state);
    state->flushLibsshLog();
    return true;
  } catch (const LibError& error) {
    state->setError(error.code, error.what());
    state->flushLibsshLog();
    if (state->conf.boolValue(Conf::PrintErrors)) state->print(error.what(), true);
    return false;
  }
}

int32_t asResult(bool succeeded) {
  return succeeded ? 1 : 0;
}

}  // namespace

extern "C" {

QSSHLIB_API void qssh_conf_set_str(int32_t index, const char* value, TSshLibContext* ctx) {
  if (ContextState* state = ContextState::of(ctx)) state->conf.setString(index, value);
}

QSSHLIB_API void qssh_conf_set_int(int32_t index, int32_t value, TSshLibContext* ctx) {
  if (ContextState* state = ContextState::of(ctx)) state->conf.setInt(index, value);
}

QSSHLIB_API const char* qssh_conf_get_str(int32_t index, TSshLibContext* ctx) {
  ContextState* state = ContextState::of(ctx);
  return state ? state->conf.getString(index) : "";
}

QSSHLIB_API int32_t qssh_conf_get_int(int32_t index, TSshLibContext* ctx) {
  ContextState* state = ContextState::of(ctx);
  return state ? state->conf.getInt(index) : 0;
}

QSSHLIB_API void qssh_xfer_cleanup(void* xfer, TSshLibContext* ctx) {
  if (!xfer) return;
  if (ContextState* state = ContextState::of(ctx))
    endUploadTransfer(*state, static_cast<UploadTransfer*>(xfer));
}

QSSHLIB_API qssh_bool qssh_xfer_done(void* xfer, TSshLibContext* ctx) {
  bool finished = false;
  const bool ran = xfer && run(ctx, [&](ContextState& state) {
                     finished =
                         uploadTransferFinished(state, static_cast<UploadTransfer*>(xfer), false);
                   });
  return ran && finished;
}

QSSHLIB_API qssh_bool qssh_xfer_ensuredone(void* xfer, TSshLibContext* ctx) {
  bool finished = false;
  const bool ran = xfer && run(ctx, [&](ContextState& state) {
                     finished =
                         uploadTransferFinished(state, static_cast<UploadTransfer*>(xfer), true);
                   });
  return ran && finished;
}

QSSHLIB_API void qssh_xfer_upload_data(void* xfer, const void* data, int32_t length,
                                       uint64_t offset, TSshLibContext* ctx) {
  if (!xfer) return;
  run(ctx, [&](ContextState& state) {
    queueUploadData(state, static_cast<UploadTransfer*>(xfer), data, length, offset);
  });
}

QSSHLIB_API qssh_bool qssh_xfer_upload_ready(void* xfer, TSshLibContext* ctx) {
  bool ready = false;
  const bool ran = xfer && run(ctx, [&](ContextState& state) {
                     ready = uploadTransferReady(state, static_cast<UploadTransfer*>(xfer));
                   });
  return ran && ready;
}

QSSHLIB_API void* qssh_xfer_upload_init(void* filehandle, uint64_t offset, TSshLibContext* ctx) {
  void* transfer = nullptr;
  if (filehandle)
    run(ctx, [&](ContextState& state) {
      transfer = startUploadTransfer(state, static_cast<RemoteFile*>(filehandle), offset);
    });
  return transfer;
}

QSSHLIB_API int32_t qssh_closefile(void** filehandle, TSshLibContext* ctx) {
  if (!filehandle || !*filehandle) return 0;
  RemoteFile* file = static_cast<RemoteFile*>(*filehandle);
  *filehandle = nullptr;
  return asResult(run(ctx, [&](ContextState& state) { closeRemoteFile(state, file); }));
}

QSSHLIB_API void* qssh_openfile(const char* path, int32_t flags, fxp_attrs* attrs,
                                TSshLibContext* ctx) {
  void* file = nullptr;
  run(ctx, [&](ContextState& state) { file = openRemoteFile(state, path, flags, attrs); });
  return file;
}

QSSHLIB_API qssh_bool qsftp_setstat(const char* path, fxp_attrs* attrs, TSshLibContext* ctx) {
  return run(ctx, [&](ContextState& state) {
    if (!attrs) fail(QSSH_ERR_INVALID, "No attributes given");
    setAttributes(state, path, *attrs);
  });
}

QSSHLIB_API qssh_bool qsftp_getstat(const char* path, fxp_attrs* attrs, TSshLibContext* ctx) {
  return run(ctx, [&](ContextState& state) {
    if (!attrs) fail(QSSH_ERR_INVALID, "No attributes record given");
    *attrs = getAttributes(state, path);
  });
}

QSSHLIB_API int32_t qsftp_getfile(const char* remotepath, const char* localpath, qssh_bool append,
                                  TSshLibContext* ctx) {
  return asResult(
      run(ctx, [&](ContextState& state) { download(state, remotepath, localpath, append); }));
}

QSSHLIB_API int32_t qsftp_getfile_from(const char* remotepath, uint64_t offset,
                                       TSshLibContext* ctx) {
  return asResult(
      run(ctx, [&](ContextState& state) { download(state, remotepath, nullptr, false, offset); }));
}

QSSHLIB_API int32_t qsftp_putfile(const char* localpath, const char* remotepath, qssh_bool append,
                                  TSshLibContext* ctx) {
  return asResult(
      run(ctx, [&](ContextState& state) { upload(state, localpath, remotepath, append); }));
}

QSSHLIB_API int32_t qsftp_mvex(const char* from, const char* to, int32_t flags,
                               TSshLibContext* ctx) {
  return asResult(run(ctx, [&](ContextState& state) {
    moveFile(state, from, to, (flags & QSSH_MOVE_OVERWRITE) != 0);
  }));
}

QSSHLIB_API int32_t qsftp_mv(const char* from, const char* to, TSshLibContext* ctx) {
  return asResult(run(ctx, [&](ContextState& state) {
    moveFile(state, from, to,
             state.conf.boolValue(Conf::SftpPosixRename) &&
                 state.connection().client.hasExtension("posix-rename@openssh.com"));
  }));
}

QSSHLIB_API int32_t qsftp_mkdir(const char* directory, TSshLibContext* ctx) {
  return asResult(run(ctx, [&](ContextState& state) { makeDirectory(state, directory); }));
}

QSSHLIB_API int32_t qsftp_rmdir(const char* directory, TSshLibContext* ctx) {
  return asResult(run(ctx, [&](ContextState& state) { removeDirectory(state, directory); }));
}

QSSHLIB_API int32_t qsftp_rm(const char* file, TSshLibContext* ctx) {
  return asResult(run(ctx, [&](ContextState& state) { removeFile(state, file); }));
}

QSSHLIB_API int32_t qsftp_ls(const char* directory, TSshLibContext* ctx) {
  return asResult(run(ctx, [&](ContextState& state) { listDirectory(state, directory); }));
}

QSSHLIB_API int32_t qsftp_cd(const char* directory, TSshLibContext* ctx) {
  return asResult(run(ctx, [&](ContextState& state) { changeDirectory(state, directory); }));
}

QSSHLIB_API void qsftp_close(TSshLibContext* ctx) {
  ContextState* state = ContextState::of(ctx);
  if (!state || !state->open) return;
  state->open.reset();
  state->print("Disconnected");
}

QSSHLIB_API int32_t qsftp_connect(const char* host, const char* user, int32_t port,
                                  const char* password, TSshLibContext* ctx) {
  return run(ctx, [&](ContextState& state) { connectSession(state, host, user, port, password); })
             ? 0
             : 1;
}

QSSHLIB_API void qssh_setkeyfile(const char* path, TSshLibContext* ctx) {
  if (ContextState* state = ContextState::of(ctx))
    state->conf.setString(static_cast<int32_t>(Conf::KeyFile), path);
}

QSSHLIB_API qssh_bool qssh_getconfigarrays(PConfIntArray* types, PConfIntArray* subtypes,
                                           PConfPAnsiCharArray* names, int32_t* count) {
  if (!types || !subtypes || !names || !count) return 0;
  *types = &configTypes;
  *subtypes = &configSubTypes;
  *names = &configNames;
  *count = QSSH_CONF_COUNT;
  return 1;
}

QSSHLIB_API void qsshgetversions(double* release, int32_t* build) {
  if (release) *release = LIBSSH_VERSION_MAJOR + LIBSSH_VERSION_MINOR / 100.0;
  if (build) *build = kBuildNumber;
}

QSSHLIB_API void qsshfree(TSshLibContext* ctx) {
  ContextState* state = ContextState::of(ctx);
  ContextState::detach(ctx);
  delete state;
}

QSSHLIB_API void qssh_setverbose(qssh_bool verbose) {
  globalVerbose = verbose ? 1 : 0;
}

QSSHLIB_API int32_t qssh_initcontext(qssh_bool verbose, TSshLibContext* ctx) {
  if (!ctx || ctx->structsize < QSSH_CONTEXT_SIZE) return 1;
  delete ContextState::of(ctx);
  auto* state = new ContextState(ctx, verbose != 0);
  state->attach();
  return 0;
}

QSSHLIB_API int32_t qsshgetcontextsize(void) {
  return QSSH_CONTEXT_SIZE;
}

}  // extern "C"
