// Writes the manifest of a patch tree: every file's path, size and SHA-256,
// at the root of the tree where the launcher looks for it. With the private
// key of tools/sign-update it signs the manifest as that tool signs a build,
// so launchers built with the key's public half trust it.
//
//   make-manifest FOLDER [KEY.pem]
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSaveFile>
#include <cstdio>
#include <memory>

#include "manifest.h"
#include "sha256.h"

namespace {

using quorrel::Exception;
using quorrel::Sha256;
namespace manifest = quorrel::manifest;

// What the launcher's walk of the tree fetches: files and links to files,
// never through a link to a folder, and not the manifest and its signature.
std::vector<manifest::Entry> entriesOf(const QString& root) {
  std::vector<manifest::Entry> entries;
  const QDir rootDir(root);
  // Absolute, so that every path found is relative to the root however it was named.
  QDirIterator walk(rootDir.absolutePath(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
  while (walk.hasNext()) {
    const QString path = walk.next();
    const QString relative = rootDir.relativeFilePath(path);
    if (relative == manifest::kFileName || relative == manifest::kSignatureFileName) continue;
    QFile file(path);
    Sha256 hash;
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(file))
      throw Exception("Cannot read " + path.toStdString() + ": " +
                      file.errorString().toStdString());
    entries.push_back({relative, file.size(), hash.result()});
  }
  return entries;
}

void writeFile(const QString& path, const QByteArray& content) {
  QSaveFile out(path);
  if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit())
    throw Exception("Cannot write " + path.toStdString() + ": " + out.errorString().toStdString());
}

// The Ed25519 signature of `data` in base64 and a line break: what
// `tools/sign-update sign` writes.
QByteArray signatureFile(const QString& keyFile, const QByteArray& data) {
  const std::unique_ptr<FILE, decltype(&std::fclose)> in(
      std::fopen(QFile::encodeName(keyFile).constData(), "rb"), &std::fclose);
  if (!in) throw Exception("Cannot read the key " + keyFile.toStdString());
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_PrivateKey(in.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
    throw Exception(keyFile.toStdString() + " is not an Ed25519 private key in PEM");
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  unsigned char signature[64];
  size_t length = sizeof signature;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(data.constData()), data.size()) != 1)
    throw Exception("Cannot sign with " + keyFile.toStdString());
  return QByteArray(reinterpret_cast<const char*>(signature), length).toBase64() + '\n';
}

void makeManifest(const QString& root, const QString& keyFile) {
  if (!QFileInfo(root).isDir()) throw Exception(root.toStdString() + " is not a folder");
  const QByteArray text = manifest::format(entriesOf(root));
  const QString manifestPath = root + QChar('/') + manifest::kFileName;
  const QString signaturePath = root + QChar('/') + manifest::kSignatureFileName;
  // Signed before anything is written: a key that cannot sign leaves the tree as it was.
  const QByteArray signature = keyFile.isEmpty() ? QByteArray() : signatureFile(keyFile, text);
  writeFile(manifestPath, text);
  std::printf("%s\n", qPrintable(manifestPath));
  if (!keyFile.isEmpty()) {
    writeFile(signaturePath, signature);
    std::printf("%s\n", qPrintable(signaturePath));
  } else if (QFileInfo::exists(signaturePath)) {
    // An old signature no longer matches: launchers with a key would refuse the tree.
    QFile::remove(signaturePath);
    std::fprintf(stderr, "removed the old signature %s\n", qPrintable(signaturePath));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make-manifest FOLDER [KEY.pem]\n");
    return 2;
  }
  try {
    makeManifest(QFile::decodeName(argv[1]), argc == 3 ? QFile::decodeName(argv[2]) : QString());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make-manifest: %s\n", error.what());
    return 1;
  }
  return 0;
}
