// The fixed facts of the wire: the frame header's layout and limits, message kinds, and what a
// DataFormat's four bytes say. Every frame starts with a 16-byte header in network byte order:
//
//   0..3  magic "NObj"       4  version (2)     5  kind (call, reply, error)
//   6..7  reserved, zero     8..11  DataFormat of the body     12..15  body length
//
// The body's own numbers follow the byte order named by the DataFormat; the receiver converts.
// Header only. Constants and pure functions only: thread-safe.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "netobj/wire/Values.h"

namespace NetObj {

inline constexpr uint8_t kMagic[4] = {'N', 'O', 'b', 'j'};
// Version 2: object references carry the owner's holder epoch. Version 3: every call carries
// the caller's releases.
inline constexpr uint8_t kWireVersion = 3;
inline constexpr std::size_t kHeaderSize = 16;
// No message body may be longer; checked before anything is allocated for it.
inline constexpr uint32_t kMaxMessage = 64u << 20;

enum class MessageKind : uint8_t { kCall = 1, kReply = 2, kError = 3 };

// An error body carries at least one and at most this many atoms, each at most this long; the
// writer cuts what is longer, the reader refuses it.
inline constexpr uint32_t kMaxErrorAtoms = 64;
inline constexpr uint32_t kMaxAtomLength = 4096;

enum class ByteOrder : uint8_t { kLittle = 1, kBig = 2 };
inline constexpr uint8_t kFloatIeee754 = 1;

inline ByteOrder NativeByteOrder() {
  return std::endian::native == std::endian::little ? ByteOrder::kLittle : ByteOrder::kBig;
}

inline DataFormat MakeDataFormat(ByteOrder order) {
  return DataFormat{{static_cast<uint8_t>(order), kFloatIeee754, 0, 0}};
}

inline bool IsValidDataFormat(const DataFormat& f) {
  return (f.bytes[0] == 1 || f.bytes[0] == 2) && f.bytes[1] == kFloatIeee754 && f.bytes[2] == 0 &&
         f.bytes[3] == 0;
}

inline ByteOrder OrderOf(const DataFormat& f) { return static_cast<ByteOrder>(f.bytes[0]); }

}  // namespace NetObj
