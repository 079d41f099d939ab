#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/Exception.h"

namespace rtl {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// A byte stream with a size and a position. Reads and writes move the position.
class TStream {
 public:
  virtual ~TStream() = default;

  // Return the number of bytes actually moved.
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t size) = 0;

  // Reads or writes exactly count bytes, raising EStreamError when that is not possible.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  // Copies count bytes (all of source from its start when count is 0) and returns the number
  // copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

// A growable in-memory byte stream whose bytes stay contiguous.
//
// Read, Write, Seek and SetSize work on the stored bytes and never call the overridable Size or
// Memory, so a derived stream can present a window onto the storage (see the managed receive
// buffer) by translating positions and then calling these.
class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return StoredSize(); }
  void SetSize(std::int64_t size) override;

  virtual void Clear();
  virtual char* Memory() { return data_.data(); }
  virtual const char* Memory() const { return data_.data(); }
  virtual std::string ToString() const { return std::string(data_.begin(), data_.end()); }

 protected:
  std::int64_t StoredSize() const { return static_cast<std::int64_t>(data_.size()); }
  char* StoredMemory() { return data_.data(); }
  const char* StoredMemory() const { return data_.data(); }

 private:
  std::vector<char> data_;
  std::int64_t position_ = 0;
};

// A file opened for reading or writing, as a stream over its descriptor.
class TFileStream : public TStream {
 public:
  enum class Mode { fmOpenRead, fmCreate };
  // Raises EStreamError ("Cannot open file \"%s\". %s") when the file cannot be opened.
  TFileStream(const std::string& fileName, Mode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t size) override;
  int Handle() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace rtl
