// Writes the manifest of a patch tree: every file's path, size and SHA-256,
// at the root of the tree where the launcher looks for it. With the private
// key of tools/sign-update it signs the manifest as that tool signs a build,
// so launchers built with the key's public half trust it.
//
//   make-manifest [--release N] [--days D] [--mirror URL]... [--objects OUT]
//                 FOLDER [KEY.pem]
//
// A signed manifest (or one given --release, --days or --mirror) names its
// release: N, or one above the release of the manifest the folder holds (1
// when it holds none), trusted for D days from now (30 when not given).
// Launchers refuse a release below one they accepted, and one past its
// expiry: sign the tree again, as a new release, before it expires.
//
// Each --mirror names the base URL of a static HTTPS host that serves the
// release's objects; launchers try them in the order given, then the patch
// server. --objects writes those objects below OUT: every file once, named
// by its SHA-256 (OUT/objects/ab/abcdef…), so that a host or CDN can keep
// them for ever and the next release adds only the files that changed.
// Upload them before the manifest is published.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSaveFile>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>

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

constexpr int kDefaultDays = 30;

struct Options {
  QString root;
  QString keyFile;
  std::optional<std::int64_t> release;
  std::optional<int> days;
  QStringList mirrors;
  QString objectsFolder;
  // Signed manifests name their release; so does one given any of its lines.
  bool namesRelease() const { return !keyFile.isEmpty() || release || days || !mirrors.isEmpty(); }
};

// Copies `entries` below `out` as objects named by their digests. An object
// already there is the same file (its name says so) and is left as it is;
// each new one appears whole or not at all.
void writeObjects(const QString& root, const std::vector<manifest::Entry>& entries,
                  const QString& out) {
  int written = 0;
  int kept = 0;
  for (const manifest::Entry& entry : entries) {
    const QString object = out + QChar('/') + manifest::objectPath(entry.sha256);
    if (QFileInfo(object).size() == entry.size && QFileInfo(object).isFile()) {
      ++kept;
      continue;
    }
    if (!QDir().mkpath(QFileInfo(object).path()))
      throw Exception("Cannot create the folder of " + object.toStdString());
    QFile in(root + QChar('/') + entry.path);
    if (!in.open(QIODevice::ReadOnly))
      throw Exception("Cannot read " + in.fileName().toStdString() + ": " +
                      in.errorString().toStdString());
    QSaveFile copy(object);
    Sha256 hash;
    if (!copy.open(QIODevice::WriteOnly))
      throw Exception("Cannot write " + object.toStdString() + ": " +
                      copy.errorString().toStdString());
    for (QByteArray block; !(block = in.read(1 << 20)).isEmpty();) {
      hash.addData(block);
      if (copy.write(block) != block.size())
        throw Exception("Cannot write " + object.toStdString() + ": " +
                        copy.errorString().toStdString());
    }
    // A file changed since it was read into the manifest must not be
    // published under the old file's name.
    if (in.error() != QFile::NoError || hash.result() != entry.sha256)
      throw Exception(in.fileName().toStdString() + " changed while the manifest was made");
    if (!copy.commit())
      throw Exception("Cannot write " + object.toStdString() + ": " +
                      copy.errorString().toStdString());
    ++written;
  }
  std::printf("%s/objects: %d written, %d there already\n", qPrintable(out), written, kept);
}

// One above the release of the manifest the folder holds, 1 when it holds
// none or one without a release. A manifest that cannot be read gives no
// number to go on from: the operator names one.
std::int64_t nextRelease(const QString& manifestPath) {
  QFile last(manifestPath);
  if (!last.exists()) return 1;
  if (last.size() > manifest::kMaxBytes || !last.open(QIODevice::ReadOnly))
    throw Exception("Cannot read " + manifestPath.toStdString() + "; give --release");
  try {
    const manifest::Manifest parsed = manifest::Manifest::parse(last.readAll());
    if (!parsed.release()) return 1;
    if (parsed.release()->version == std::numeric_limits<std::int64_t>::max())
      throw Exception("the release is the highest there is");
    return parsed.release()->version + 1;
  } catch (const Exception& error) {
    throw Exception(manifestPath.toStdString() + ": " + error.what() + "; give --release");
  }
}

void makeManifest(const Options& options) {
  const QString& root = options.root;
  const QString& keyFile = options.keyFile;
  if (!QFileInfo(root).isDir()) throw Exception(root.toStdString() + " is not a folder");
  // Objects inside the tree would be game files of the next release.
  const QString treePath = QDir(root).absolutePath() + QChar('/');
  if (!options.objectsFolder.isEmpty() &&
      (QDir(options.objectsFolder).absolutePath() + QChar('/')).startsWith(treePath))
    throw Exception("the objects cannot be written inside " + root.toStdString());
  const QString manifestPath = root + QChar('/') + manifest::kFileName;
  std::optional<manifest::Release> release;
  if (options.namesRelease())
    release = manifest::Release{
        options.release ? *options.release : nextRelease(manifestPath),
        QDateTime::currentDateTimeUtc().addDays(options.days.value_or(kDefaultDays))};
  const std::vector<manifest::Entry> entries = entriesOf(root);
  const QByteArray text = manifest::format(entries, release, options.mirrors);
  const QString signaturePath = root + QChar('/') + manifest::kSignatureFileName;
  // Signed before anything is written: a key that cannot sign leaves the tree as it was.
  const QByteArray signature = keyFile.isEmpty() ? QByteArray() : signatureFile(keyFile, text);
  // The objects first: a manifest never names an object that is not written.
  if (!options.objectsFolder.isEmpty()) writeObjects(root, entries, options.objectsFolder);
  writeFile(manifestPath, text);
  std::printf("%s\n", qPrintable(manifestPath));
  if (release)
    std::printf("release %lld, trusted until %s\n", static_cast<long long>(release->version),
                qPrintable(manifest::expiryText(release->expires)));
  if (!keyFile.isEmpty()) {
    writeFile(signaturePath, signature);
    std::printf("%s\n", qPrintable(signaturePath));
  } else if (QFileInfo::exists(signaturePath)) {
    // An old signature no longer matches: launchers with a key would refuse the tree.
    QFile::remove(signaturePath);
    std::fprintf(stderr, "removed the old signature %s\n", qPrintable(signaturePath));
  }
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: make-manifest [--release N] [--days D] [--mirror URL]... [--objects OUT]\n"
               "                     FOLDER [KEY.pem]\n");
  std::exit(2);
}

// A whole number from 1 on, or the usage.
std::int64_t positiveNumber(const char* text) {
  bool ok = false;
  const std::int64_t number = QByteArray(text).toLongLong(&ok);
  if (!ok || number < 1) usage();
  return number;
}

Options parseArguments(int argc, char** argv) {
  Options options;
  QStringList positional;
  for (int i = 1; i < argc; ++i) {
    const QByteArray argument(argv[i]);
    if (argument == "--release" || argument == "--days") {
      if (++i == argc) usage();
      const std::int64_t number = positiveNumber(argv[i]);
      if (argument == "--release")
        options.release = number;
      else if (number <= 36500)
        options.days = static_cast<int>(number);
      else
        usage();
    } else if (argument == "--mirror" || argument == "--objects") {
      if (++i == argc) usage();
      if (argument == "--mirror")
        options.mirrors << QString::fromUtf8(argv[i]);
      else
        options.objectsFolder = QFile::decodeName(argv[i]);
    } else {
      positional << QFile::decodeName(argv[i]);
    }
  }
  if (positional.isEmpty() || positional.size() > 2) usage();
  options.root = positional.value(0);
  options.keyFile = positional.value(1);
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseArguments(argc, argv);
  try {
    makeManifest(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make-manifest: %s\n", error.what());
    return 1;
  }
  return 0;
}
