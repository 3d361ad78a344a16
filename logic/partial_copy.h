#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>

// A file's partial copy: what a fetch that stopped has written, kept beside
// the file under a hidden name, with a small record of the server's file it
// came from, so that the next fetch can go on from its end.
namespace quorrel::partial_copy {

// The server's file as it was when its partial copy began. Size and time
// cannot tell every change (a file replaced by one of the same size and
// time): a copy whose bytes no digest will check at the end is continued
// only by the flow that began it, within which the server's file is the
// same; a flow names itself with a random number for that.
struct Source {
  std::int64_t size = 0;
  std::int64_t modified = 0;  // seconds since 1970, as the server gives them
  std::uint64_t flow = 0;     // the flow that began an unchecked copy; 0 for a checked one
  bool operator==(const Source&) const = default;
};

// The hidden names of the partial copy of the file `name` and of its record:
// short whatever the name, so that any name a disk holds has them, and the
// same for the same name in every run.
QByteArray copyName(const QByteArray& name);
QByteArray recordName(const QByteArray& name);
// Whether `name` is one of those: never a game file.
bool isPartialCopyName(const QByteArray& name);
// Whether `name` is that of a partial copy as earlier versions of the
// launcher named them, ".quorrel-<process>-<count>.part", which no run goes
// on from.
bool isOldStyleCopyName(const QByteArray& name);

// The record's text, and the source it names; nothing when the text is no record.
QByteArray recordText(const Source& source);
std::optional<Source> parseRecord(const QByteArray& text);

// Where the next fetch starts: at the partial copy's length when the copy is
// of the server's file as it is now and no longer than the size the listing
// gave; otherwise at 0, and the copy is discarded.
std::int64_t resumeOffset(std::int64_t copyLength, const std::optional<Source>& recorded,
                          const Source& now, std::int64_t listedSize);

}  // namespace quorrel::partial_copy
