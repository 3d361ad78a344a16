#pragma once

#include <curl/curl.h>

#include <QByteArray>
#include <QString>

namespace quorrel {

// The CA file a request trusts besides the system's store, and why it could
// not, once the request found out.
struct ExtraCas {
  QByteArray file;
  QString failure;
};

// Makes the request of `curl` trust the CAs in `cas.file`. Each system's TLS
// takes them its own way (posix/extra_ca.cpp, win/extra_ca.cpp); a file that
// cannot be read fails the request with `cas.failure` set. False when the
// request cannot be given the file at all.
bool trustExtraCasOf(CURL* curl, ExtraCas& cas);

}  // namespace quorrel
