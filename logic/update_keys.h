#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace quorrel {

// The keys whose signatures this launcher takes, for its own releases and for
// the patch server's manifest. The build names one key. A signed launcher
// release may name the key that follows it; from then on both are taken,
// until something signed with the next key arrives: that key becomes the
// only one, and the old key is never taken again. So an operator replaces a
// key without a launcher that trusts both for ever.
//
// What was learnt is kept in the player's state folder. It counts only while
// the built-in key is one of its keys, so a build with a key of its own (a
// test build, another server's) starts afresh; a file that cannot be read
// loses only the rotation, back to the built-in key.
class UpdateKeys {
 public:
  static constexpr qint64 kMaxFileBytes = 4096;

  UpdateKeys(const QString& stateFolder, const QString& builtInKey);

  // Whether the build names a key: without one nothing is signed.
  bool enabled() const { return !current_.isEmpty(); }
  // The keys taken now: the current one, and the next when one is named.
  QStringList trusted() const;

  // SignatureError (see verifyUpdateSignature) unless one of the trusted
  // keys signed `data`. A signature by the next key makes it the current one.
  void verify(const QByteArray& data, const QString& signatureBase64, const std::string& dataName);
  // Takes `key` (named in a verified release) as the one that follows the
  // current key. Exception when the state cannot be written.
  void expectNext(const QString& key);

  const QString& file() const { return file_; }

 private:
  void load(const QString& builtInKey);
  void save() const;

  QString file_;
  QString builtIn_;
  QString current_;
  QString next_;
};

}  // namespace quorrel
