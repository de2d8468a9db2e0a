// Value encoding: MessageWriter buffers one message's values in a chosen byte order behind room
// for the frame header, so the whole frame leaves in one write; MessageReader reads a received
// body in the sender's byte order (from its DataFormat) and converts. Every read is bounded by
// the body: running past its end, an array or text longer than the bytes that carry it, or an
// unknown tag is a NetObj::Error ("malformed message", ...), raised before any allocation.
//
// References travel as a tag byte (0 null, 1 object, 2 text, 3 integer array) and a payload.
// Object references are ObjectRef values here; turning them into objects is the runtime's job.
//
// Implemented in Message.cc. Ownership: each instance belongs to one connection; one thread at a
// time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "netobj/wire/ObjectRef.h"
#include "netobj/wire/Values.h"
#include "netobj/wire/WireFormat.h"

namespace NetObj {

enum class RefTag : uint8_t { kNull = 0, kObject = 1, kText = 2, kInt32Array = 3 };

using WireValue = std::variant<std::nullptr_t, ObjectRef, Text, Int32Array>;

class MessageWriter {
 public:
  explicit MessageWriter(ByteOrder order = NativeByteOrder());

  ByteOrder order() const { return order_; }
  // Starts a new message, keeping the buffer's capacity.
  void Begin();
  std::size_t body_size() const { return buf_.size() - kHeaderSize; }

  void PutU8(uint8_t v) { buf_.push_back(v); }
  void PutU16(uint16_t v);
  void PutU32(uint32_t v);
  void PutU64(uint64_t v);
  void PutI32(int32_t v) { PutU32(static_cast<uint32_t>(v)); }
  void PutI64(int64_t v) { PutU64(static_cast<uint64_t>(v)); }
  void PutF32(float v);
  void PutBytes(const void* p, std::size_t n);
  void PutString(const std::string& s);  // u32 length, then the bytes
  void PutArray(const Int32Array2D& a);
  void PutObjectRef(const ObjectRef& r);
  void PutNullRef() { PutU8(static_cast<uint8_t>(RefTag::kNull)); }
  void PutTextRef(const std::string& s);
  void PutArrayRef(const Int32Array2D& a);

  // Writes the frame header in front of the body; the span is the whole frame. Throws
  // Wr::Failure when the body exceeds kMaxMessage.
  std::span<const uint8_t> Seal(MessageKind kind);

 private:
  template <class U>
  void PutUnsigned(U v);

  ByteOrder order_;
  std::vector<uint8_t> buf_;
};

class MessageReader {
 public:
  MessageReader() = default;
  MessageReader(std::span<const uint8_t> body, DataFormat format) { Reset(body, format); }
  void Reset(std::span<const uint8_t> body, DataFormat format);

  DataFormat format() const { return format_; }
  std::size_t remaining() const { return end_ - pos_; }

  uint8_t GetU8();
  uint16_t GetU16();
  uint32_t GetU32();
  uint64_t GetU64();
  int32_t GetI32() { return static_cast<int32_t>(GetU32()); }
  int64_t GetI64() { return static_cast<int64_t>(GetU64()); }
  float GetF32();
  bool GetBool();
  std::string GetString(std::size_t max_length);
  Int32Array GetArray();
  ObjectRef GetObjectRef();
  WireValue GetRef();

 private:
  const uint8_t* Take(std::size_t n);
  template <class U>
  U GetUnsigned();

  const uint8_t* pos_ = nullptr;
  const uint8_t* end_ = nullptr;
  DataFormat format_;
  bool swap_ = false;
};

// The failure every malformed body raises.
[[noreturn]] void FailMalformed(const char* what);

}  // namespace NetObj
