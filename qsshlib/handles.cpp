// The pass-through handles: remote files opened by the caller, and uploads
// fed block by block.
#include "operations.h"

#include <deque>
#include <memory>

#include "operation_support.h"

namespace qssh {

struct UploadTransfer {
  std::string handle;
  std::deque<WriteRequest> pending;
  bool failed = false;
};

RemoteFile* openRemoteFile(ContextState& state, const char* path, int32_t flags,
                           const fxp_attrs* attrs) {
  const std::string resolved = state.resolve(path);
  std::string handle =
      openHandle(state, resolved, static_cast<uint32_t>(flags), attrs ? *attrs : fxp_attrs{});
  return new RemoteFile{std::move(handle), resolved};
}

void closeRemoteFile(ContextState& state, RemoteFile* file) {
  std::unique_ptr<RemoteFile> owned(file);
  client(state).ok(request(state, FXP_CLOSE, Writer().str(owned->handle)));
  state.print("Closed " + owned->path);
}

UploadTransfer* startUploadTransfer(ContextState&, RemoteFile* file, uint64_t) {
  auto* transfer = new UploadTransfer;
  transfer->handle = file->handle;
  return transfer;
}

namespace {

// Takes the acknowledgements in order: those that have arrived, or with
// `wait` every one outstanding.
void collectAcknowledgements(ContextState& state, UploadTransfer* transfer, bool wait) {
  SftpClient& sftp = client(state);
  while (!transfer->pending.empty() && (wait || sftp.arrived(transfer->pending.front().id))) {
    const Packet answer = sftp.wait(transfer->pending.front().id);
    transfer->pending.pop_front();
    if (answer.type != FXP_STATUS || answer.reader().u32() != FX_OK) {
      transfer->failed = true;
      try {
        sftp.failWithStatus(answer);
      } catch (const LibError& error) {
        state.setError(error.code, error.what());
      }
    }
  }
}

}  // namespace

bool uploadTransferReady(ContextState& state, UploadTransfer* transfer) {
  collectAcknowledgements(state, transfer, false);
  return !transfer->failed &&
         transfer->pending.size() <
             static_cast<size_t>(std::max(1, state.conf.intValue(Conf::SftpWriteRequests)));
}

void queueUploadData(ContextState& state, UploadTransfer* transfer, const void* data,
                     int32_t length, uint64_t offset) {
  const std::string_view bytes(static_cast<const char*>(data),
                               static_cast<size_t>(std::max(length, 0)));
  transfer->pending.push_back(WriteRequest{
      client(state).send(FXP_WRITE, Writer().str(transfer->handle).u64(offset).str(bytes)),
      offset + bytes.size()});
}

bool uploadTransferFinished(ContextState& state, UploadTransfer* transfer, bool wait) {
  collectAcknowledgements(state, transfer, wait);
  return transfer->pending.empty() && (!wait || !transfer->failed);
}

void endUploadTransfer(ContextState& state, UploadTransfer* transfer) {
  std::unique_ptr<UploadTransfer> owned(transfer);
  if (!state.open) return;
  for (const WriteRequest& request : owned->pending) client(state).abandon(request.id);
}

}  // namespace qssh
