// The framework's abstract stream: a byte sequence with a position, read,
// written and sought. The dataset's blob fields reach memo and binary data
// through it (db.h); engines with streams of their own keep them.
#pragma once

#include <cstdint>

#include "framework/exceptions.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Up to `count` bytes from the position on; answers how many were read and
  // advances the position by that much.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes `count` bytes at the position; answers how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Sets the position relative to `origin` and answers the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  int64_t Size() {
    int64_t here = Position();
    int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(here, TSeekOrigin::soBeginning);
    return size;
  }

  // Exactly `count` bytes, or EReadError / EWriteError.
  void ReadBuffer(void* buffer, int64_t count) {
    if (count > 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
  }
  void WriteBuffer(const void* buffer, int64_t count) {
    if (count > 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
  }
};
