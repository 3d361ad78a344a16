#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quorrel {

// What the session needs of a stream: set the position, read up to n bytes
// and write n bytes, each giving the count actually moved.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual void setPosition(int64_t position) = 0;
  virtual int64_t read(void* buffer, int64_t count) = 0;
  virtual int64_t write(const void* buffer, int64_t count) = 0;
};

// A stream over a file descriptor it owns.
class TFileStream : public TStream {
 public:
  // Opens with open(2) flags and mode; SftpSessionException when it cannot.
  TFileStream(const std::string& path, int flags, int mode = 0644);
  // Takes over an open descriptor; `path` names it in messages.
  TFileStream(int fd, std::string path);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  void setPosition(int64_t position) override;
  int64_t read(void* buffer, int64_t count) override;
  int64_t write(const void* buffer, int64_t count) override;
  // Closes the file, reporting a failure to write it out.
  void close();

 private:
  struct Descriptor;  // the system's handle of the file
  std::string path_;
  std::unique_ptr<Descriptor> fd_;
};

}  // namespace quorrel
