// Single requests on remote paths: folders, moves, removals, attributes.
#include "operations.h"

#include "operation_support.h"

namespace qssh {

void changeDirectory(ContextState& state, const char* directory) {
  const std::string path = client(state).singleName(
      request(state, FXP_REALPATH, Writer().str(state.resolve(directory))));
  const fxp_attrs attrs = client(state).attributes(request(state, FXP_STAT, Writer().str(path)));
  if ((attrs.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_DIRECTORY)
    fail(static_cast<int32_t>(FX_NO_SUCH_FILE), path + " is not a folder");
  state.setWorkDir(path);
  state.print("Remote working folder " + path);
}

void makeDirectory(ContextState& state, const char* directory) {
  fxp_attrs attrs{};
  if (state.conf.intValue(Conf::SftpMkdirMode) > 0) {
    attrs.flags = QSSH_ATTR_PERMISSIONS;
    attrs.permissions = static_cast<uint32_t>(state.conf.intValue(Conf::SftpMkdirMode));
  }
  client(state).ok(request(state, FXP_MKDIR, Writer().str(state.resolve(directory)).attrs(attrs)));
}

void removeDirectory(ContextState& state, const char* directory) {
  client(state).ok(request(state, FXP_RMDIR, Writer().str(state.resolve(directory))));
}

void removeFile(ContextState& state, const char* file) {
  client(state).ok(request(state, FXP_REMOVE, Writer().str(state.resolve(file))));
}

void moveFile(ContextState& state, const char* from, const char* to, bool replace) {
  const std::string source = state.resolve(from);
  const std::string target = state.resolve(to);
  SftpClient& sftp = client(state);
  if (replace && !sftp.hasExtension(kPosixRename))
    fail(8, "The server cannot replace a file when moving");
  if (replace)
    sftp.ok(request(state, FXP_EXTENDED, Writer().str(kPosixRename).str(source).str(target)));
  else
    sftp.ok(request(state, FXP_RENAME, Writer().str(source).str(target)));
}

fxp_attrs getAttributes(ContextState& state, const char* path) {
  return client(state).attributes(request(state, FXP_STAT, Writer().str(state.resolve(path))));
}

void setAttributes(ContextState& state, const char* path, const fxp_attrs& attrs) {
  client(state).ok(request(state, FXP_SETSTAT, Writer().str(state.resolve(path)).attrs(attrs)));
}

}  // namespace qssh
