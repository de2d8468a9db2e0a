// Encoding and decoding of message values.
#include "netobj/wire/Message.h"

#include "netobj/wire/Frame.h"

#include <bit>
#include <cstring>

namespace NetObj {

namespace {

inline uint16_t Swap(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t Swap(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t Swap(uint64_t v) { return __builtin_bswap64(v); }

}  // namespace

void FailMalformed(const char* what) { throw Error({"malformed message", what}); }

// ---- MessageWriter ----

// Out of line: inlined, the compiler tracks the initial 16 bytes and misreads later growth.
MessageWriter::MessageWriter(ByteOrder order) : order_(order) {
  buf_.reserve(256);
  buf_.resize(kHeaderSize);
}

void MessageWriter::Begin() { buf_.resize(kHeaderSize); }

template <class U>
void MessageWriter::PutUnsigned(U v) {
  if (order_ != NativeByteOrder()) v = Swap(v);
  std::size_t at = buf_.size();
  buf_.resize(at + sizeof(U));
  std::memcpy(buf_.data() + at, &v, sizeof(U));
}

void MessageWriter::PutU16(uint16_t v) { PutUnsigned(v); }
void MessageWriter::PutU32(uint32_t v) { PutUnsigned(v); }
void MessageWriter::PutU64(uint64_t v) { PutUnsigned(v); }
void MessageWriter::PutF32(float v) { PutU32(std::bit_cast<uint32_t>(v)); }

void MessageWriter::PutBytes(const void* p, std::size_t n) {
  std::size_t at = buf_.size();
  buf_.resize(at + n);
  if (n > 0) std::memcpy(buf_.data() + at, p, n);
}

void MessageWriter::PutString(const std::string& s) {
  if (s.size() > kMaxMessage) throw Wr::Failure({"message too long"});
  PutU32(static_cast<uint32_t>(s.size()));
  PutBytes(s.data(), s.size());
}

void MessageWriter::PutArray(const Int32Array2D& a) {
  if (a.size() > kMaxMessage / 4) throw Wr::Failure({"message too long"});
  PutI32(a.nx());
  PutI32(a.ny());
  std::size_t at = buf_.size();
  buf_.resize(at + a.size() * 4);
  uint8_t* out = buf_.data() + at;
  if (order_ == NativeByteOrder()) {
    if (a.size() > 0) std::memcpy(out, a.data(), a.size() * 4);
    return;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    uint32_t v = Swap(static_cast<uint32_t>(a.data()[i]));
    std::memcpy(out + 4 * i, &v, 4);
  }
}

void MessageWriter::PutObjectRef(const ObjectRef& r) {
  PutU8(static_cast<uint8_t>(RefTag::kObject));
  PutU64(r.id.space);
  PutU64(r.id.object);
  PutU64(r.epoch);
  PutU16(static_cast<uint16_t>(r.types.size()));
  for (const auto& t : r.types) {
    PutU16(static_cast<uint16_t>(t.size()));
    PutBytes(t.data(), t.size());
  }
  PutU16(static_cast<uint16_t>(r.endpoints.size()));
  for (const auto& e : r.endpoints) {
    PutU8(e.family);
    PutBytes(e.addr.data(), e.AddressLength());
    PutU16(e.port);
  }
}

void MessageWriter::PutTextRef(const std::string& s) {
  PutU8(static_cast<uint8_t>(RefTag::kText));
  PutString(s);
}

void MessageWriter::PutArrayRef(const Int32Array2D& a) {
  PutU8(static_cast<uint8_t>(RefTag::kInt32Array));
  PutArray(a);
}

std::span<const uint8_t> MessageWriter::Seal(MessageKind kind) {
  if (body_size() > kMaxMessage)
    throw Wr::Failure({"message too long", std::to_string(body_size()) + " bytes"});
  FrameHeader h{kind, MakeDataFormat(order_), static_cast<uint32_t>(body_size())};
  EncodeHeader(h, buf_.data());
  return buf_;
}

// ---- MessageReader ----

void MessageReader::Reset(std::span<const uint8_t> body, DataFormat format) {
  pos_ = body.data();
  end_ = body.data() + body.size();
  format_ = format;
  swap_ = OrderOf(format) != NativeByteOrder();
}

const uint8_t* MessageReader::Take(std::size_t n) {
  if (n > remaining()) FailMalformed("truncated");
  const uint8_t* p = pos_;
  pos_ += n;
  return p;
}

template <class U>
U MessageReader::GetUnsigned() {
  U v;
  std::memcpy(&v, Take(sizeof(U)), sizeof(U));
  return swap_ ? Swap(v) : v;
}

uint8_t MessageReader::GetU8() { return *Take(1); }
uint16_t MessageReader::GetU16() { return GetUnsigned<uint16_t>(); }
uint32_t MessageReader::GetU32() { return GetUnsigned<uint32_t>(); }
uint64_t MessageReader::GetU64() { return GetUnsigned<uint64_t>(); }
float MessageReader::GetF32() { return std::bit_cast<float>(GetU32()); }

bool MessageReader::GetBool() {
  uint8_t b = GetU8();
  if (b > 1) FailMalformed("bad boolean");
  return b == 1;
}

std::string MessageReader::GetString(std::size_t max_length) {
  uint32_t n = GetU32();
  if (n > max_length || n > remaining()) FailMalformed("text longer than message");
  const uint8_t* p = Take(n);
  return std::string(reinterpret_cast<const char*>(p), n);
}

Int32Array MessageReader::GetArray() {
  int32_t nx = GetI32();
  int32_t ny = GetI32();
  if (nx < 0 || ny < 0) FailMalformed("negative array extent");
  // nx * ny fits in 64 bits; compare against the bytes left without multiplying by 4.
  uint64_t count = static_cast<uint64_t>(nx) * static_cast<uint64_t>(ny);
  if (count > remaining() / 4) FailMalformed("array larger than message");
  auto a = std::make_shared<Int32Array2D>(nx, ny);
  const uint8_t* p = Take(count * 4);
  if (!swap_) {
    if (count > 0) std::memcpy(a->data(), p, count * 4);
  } else {
    for (uint64_t i = 0; i < count; ++i) {
      uint32_t v;
      std::memcpy(&v, p + 4 * i, 4);
      a->data()[i] = static_cast<int32_t>(Swap(v));
    }
  }
  return a;
}

ObjectRef MessageReader::GetObjectRef() {
  ObjectRef r;
  r.id.space = GetU64();
  r.id.object = GetU64();
  r.epoch = GetU64();
  uint16_t ntypes = GetU16();
  if (ntypes > kMaxTypes) FailMalformed("too many types");
  for (uint16_t i = 0; i < ntypes; ++i) {
    uint16_t len = GetU16();
    if (len > kMaxTypeName) FailMalformed("type name too long");
    const uint8_t* p = Take(len);
    r.types.emplace_back(reinterpret_cast<const char*>(p), len);
  }
  uint16_t nends = GetU16();
  if (nends > kMaxEndpoints) FailMalformed("too many addresses");
  for (uint16_t i = 0; i < nends; ++i) {
    Endpoint e;
    e.family = GetU8();
    if (e.family != 4 && e.family != 6) FailMalformed("bad address family");
    std::memcpy(e.addr.data(), Take(e.AddressLength()), e.AddressLength());
    e.port = GetU16();
    r.endpoints.push_back(e);
  }
  return r;
}

WireValue MessageReader::GetRef() {
  switch (static_cast<RefTag>(GetU8())) {
    case RefTag::kNull:
      return nullptr;
    case RefTag::kObject:
      return GetObjectRef();
    case RefTag::kText:
      return std::make_shared<const std::string>(GetString(kMaxMessage));
    case RefTag::kInt32Array:
      return GetArray();
  }
  FailMalformed("unknown reference tag");
}

}  // namespace NetObj
