#pragma once

#include "context_state.h"

namespace qssh {

void listDirectory(ContextState& state, const char* directory);
void changeDirectory(ContextState& state, const char* directory);
void makeDirectory(ContextState& state, const char* directory);
void removeDirectory(ContextState& state, const char* directory);
void removeFile(ContextState& state, const char* file);
void moveFile(ContextState& state, const char* from, const char* to, bool replace);
fxp_attrs getAttributes(ContextState& state, const char* path);
void setAttributes(ContextState& state, const char* path, const fxp_attrs& attrs);
// Into the local file, or into the caller's stream from `streamOffset` on
// when `local` is null.
void download(ContextState& state, const char* remote, const char* local, bool append,
              uint64_t streamOffset = 0);
void upload(ContextState& state, const char* local, const char* remote, bool append);

// The pass-through file and transfer handles.
struct RemoteFile {
  std::string handle;
  std::string path;
};
struct UploadTransfer;

RemoteFile* openRemoteFile(ContextState& state, const char* path, int32_t flags,
                           const fxp_attrs* attrs);
void closeRemoteFile(ContextState& state, RemoteFile* file);
UploadTransfer* startUploadTransfer(ContextState& state, RemoteFile* file, uint64_t offset);
bool uploadTransferReady(ContextState& state, UploadTransfer* transfer);
void queueUploadData(ContextState& state, UploadTransfer* transfer, const void* data,
                     int32_t length, uint64_t offset);
bool uploadTransferFinished(ContextState& state, UploadTransfer* transfer, bool wait);
void endUploadTransfer(ContextState& state, UploadTransfer* transfer);

}  // namespace qssh
