#pragma once

#include <QString>

// The files Play writes in the game folder before it starts the client. Each
// system has its own implementation (posix/, win/).
namespace quorrel {

// Replaces the realm list at `path` with `text` in the locale's 8-bit
// encoding, through a new file renamed into place: a link there is replaced,
// never written through. InOutError when it is no plain writable file.
void writeRealmList(const QString& path, const QString& text);

// Deletes the cache files ("*.wdb", any letter case) directly inside
// `folder`, unless the folder leads out of `gameFolder`. Failures are not
// reported: the player loses nothing but a cache.
void clearCacheFolder(const QString& gameFolder, const QString& folder);

}  // namespace quorrel
