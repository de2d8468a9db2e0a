// Value encoding and framing without sockets: byte order conversion, header checks, bounds on
// everything announced, and a seeded run of mutated messages through the decoder.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "netobj/fuzz/DecodeInput.h"
#include "netobj/wire/Frame.h"
#include "netobj/wire/FrameAssembler.h"
#include "netobj/wire/Message.h"

// Every allocation of this test program goes through here, so a test can tell the largest
// block requested while it ran.
namespace {
std::atomic<std::size_t> largest_allocation{0};
void* Allocate(std::size_t n) {
  std::size_t seen = largest_allocation.load(std::memory_order_relaxed);
  while (n > seen && !largest_allocation.compare_exchange_weak(seen, n)) {
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace NetObj;

ByteOrder Other() {
  return NativeByteOrder() == ByteOrder::kLittle ? ByteOrder::kBig : ByteOrder::kLittle;
}

std::vector<uint8_t> Body(MessageWriter& w) {
  auto frame = w.Seal(MessageKind::kCall);
  return std::vector<uint8_t>(frame.begin() + kHeaderSize, frame.end());
}

TEST(Message, BigEndianBytesAreWhatTheyClaim) {
  MessageWriter w(ByteOrder::kBig);
  w.PutI32(0x01020304);
  w.PutF32(1.0f);  // 0x3f800000
  w.PutU16(0xabcd);
  auto body = Body(w);
  EXPECT_EQ(body, (std::vector<uint8_t>{1, 2, 3, 4, 0x3f, 0x80, 0, 0, 0xab, 0xcd}));
  auto frame = w.Seal(MessageKind::kCall);
  EXPECT_EQ(frame[8], static_cast<uint8_t>(ByteOrder::kBig));
}

TEST(Message, EitherByteOrderReadsBack) {
  for (ByteOrder order : {NativeByteOrder(), Other()}) {
    MessageWriter w(order);
    w.PutI32(-5);
    w.PutI64(std::numeric_limits<int64_t>::min() + 3);
    w.PutF32(0.1f);
    w.PutU8(1);
    auto arr = std::make_shared<Int32Array2D>(2, 2);
    arr->at(0, 0) = 1, arr->at(0, 1) = -2, arr->at(1, 0) = 0x7fffffff, arr->at(1, 1) = 0x12345678;
    w.PutArrayRef(*arr);
    w.PutTextRef("text");
    ObjectRef ref{{42, 17}, {"A.B", "NetObj.T"}, {Endpoint::Loopback4(7917)}};
    w.PutObjectRef(ref);
    auto body = Body(w);
    MessageReader r(body, MakeDataFormat(order));
    EXPECT_EQ(r.GetI32(), -5);
    EXPECT_EQ(r.GetI64(), std::numeric_limits<int64_t>::min() + 3);
    EXPECT_EQ(r.GetF32(), 0.1f);
    EXPECT_TRUE(r.GetBool());
    auto a = std::get<Int32Array>(r.GetRef());
    EXPECT_TRUE(std::equal(arr->data(), arr->data() + 4, a->data()));
    EXPECT_EQ(*std::get<Text>(r.GetRef()), "text");
    auto got = std::get<ObjectRef>(r.GetRef());
    EXPECT_EQ(got.id, ref.id);
    EXPECT_EQ(got.types, ref.types);
    EXPECT_EQ(got.endpoints, ref.endpoints);
    EXPECT_EQ(r.remaining(), 0u);
  }
}

TEST(Frame, HeaderChecksRejectBeforeTheBody) {
  uint8_t good[kHeaderSize];
  EncodeHeader({MessageKind::kReply, MakeDataFormat(ByteOrder::kBig), kMaxMessage}, good);
  EXPECT_EQ(DecodeHeader(good).length, kMaxMessage);
  struct Case {
    std::size_t at;
    uint8_t value;
    const char* why;
  };
  for (Case c :
       {Case{0, 'X', "bad magic"}, Case{4, kWireVersion + 1, "unsupported version"},
        Case{4, kWireVersion - 1, "unsupported version"}, Case{5, 0, "unknown message kind"},
        Case{5, 4, "unknown message kind"}, Case{6, 1, "unknown message kind"},
        Case{8, 3, "unknown data format"}, Case{9, 2, "unknown data format"},
        Case{11, 1, "unknown data format"}, Case{12, 0xff, "message too long"}}) {
    uint8_t h[kHeaderSize];
    std::memcpy(h, good, kHeaderSize);
    h[c.at] = c.value;
    try {
      DecodeHeader(h);
      ADD_FAILURE() << c.why;
    } catch (const MalformedFrame& e) {
      EXPECT_EQ(e.atoms().at(1), c.why);
    }
  }
  uint8_t over[kHeaderSize];
  EncodeHeader({MessageKind::kCall, MakeDataFormat(ByteOrder::kLittle), kMaxMessage + 1}, over);
  EXPECT_THROW(DecodeHeader(over), MalformedFrame);
}

// A body whose announced sizes exceed the bytes that carry them is rejected before any
// allocation: an attempt to allocate 16 EiB would surface as bad_alloc, not as the error.
TEST(Message, AnnouncedSizesAreCheckedAgainstTheMessage) {
  struct Case {
    int32_t nx, ny;
    std::size_t payload;
    bool ok;
  };
  for (Case c : {Case{0x7fffffff, 0x7fffffff, 8, false}, Case{1, 3, 8, false},
                 Case{-1, 0, 0, false}, Case{0, -1, 0, false}, Case{0x40000000, 4, 64, false},
                 Case{1, 2, 8, true}, Case{0, 0x7fffffff, 0, true}}) {
    MessageWriter w;
    w.PutU8(static_cast<uint8_t>(RefTag::kInt32Array));
    w.PutI32(c.nx);
    w.PutI32(c.ny);
    std::vector<uint8_t> payload(c.payload, 0);
    w.PutBytes(payload.data(), payload.size());
    auto body = Body(w);
    MessageReader r(body, MakeDataFormat(NativeByteOrder()));
    if (c.ok) {
      auto a = std::get<Int32Array>(r.GetRef());
      EXPECT_EQ(a->nx(), c.nx);
    } else {
      EXPECT_THROW(r.GetRef(), Error) << c.nx << "x" << c.ny;
    }
  }
  MessageWriter w;
  w.PutU8(static_cast<uint8_t>(RefTag::kText));
  w.PutU32(0xffffffffu);
  w.PutBytes("abc", 3);
  auto body = Body(w);
  MessageReader r(body, MakeDataFormat(NativeByteOrder()));
  EXPECT_THROW(r.GetRef(), Error);
}

// Announcements of 4 GiB are refused before anything of that size is asked for: an array of
// 2^30 elements in a message of a few bytes, a frame header announcing 4 GiB - 1 (beyond the
// 64 MiB limit), and a frame under the limit whose body has barely begun to arrive.
TEST(Message, FourGibibyteAnnouncementsAllocateNothingOfThatSize) {
  constexpr std::size_t kSmall = 1 << 20;
  {
    MessageWriter w;
    w.PutU8(static_cast<uint8_t>(RefTag::kInt32Array));
    w.PutI32(1 << 16);
    w.PutI32(1 << 14);  // 2^30 elements: 4 GiB
    w.PutI32(0);
    auto body = Body(w);
    largest_allocation = 0;
    MessageReader r(body, MakeDataFormat(NativeByteOrder()));
    try {
      r.GetRef();
      ADD_FAILURE() << "a 4 GiB array was accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.atoms().at(1), "array larger than message");
    }
    EXPECT_LT(largest_allocation, kSmall);
  }
  {
    uint8_t header[kHeaderSize];
    EncodeHeader({MessageKind::kCall, MakeDataFormat(NativeByteOrder()), 0xffffffffu}, header);
    largest_allocation = 0;
    FrameAssembler frames;
    std::span<const uint8_t> bytes(header, kHeaderSize);
    EXPECT_THROW(frames.Deliver(&bytes), MalformedFrame);
    EXPECT_LT(largest_allocation, kSmall);
  }
  {
    uint8_t header[kHeaderSize];
    EncodeHeader({MessageKind::kCall, MakeDataFormat(NativeByteOrder()), kMaxMessage}, header);
    std::vector<uint8_t> start(header, header + kHeaderSize);
    start.resize(kHeaderSize + 1000, 7);
    largest_allocation = 0;
    FrameAssembler frames;
    std::span<const uint8_t> bytes(start);
    EXPECT_EQ(frames.Deliver(&bytes), FrameAssembler::Got::kWouldBlock);
    EXPECT_EQ(frames.announced(), kMaxMessage);
    EXPECT_LT(largest_allocation, kSmall);
  }
}

TEST(Message, ObjectReferenceLimits) {
  struct Case {
    std::size_t types, name_length, endpoints;
    bool ok;
  };
  for (Case c :
       {Case{kMaxTypes, kMaxTypeName, kMaxEndpoints, true}, Case{kMaxTypes + 1, 1, 1, false},
        Case{1, kMaxTypeName + 1, 1, false}, Case{1, 1, kMaxEndpoints + 1, false}}) {
    ObjectRef ref;
    ref.id = {1, 2};
    ref.types.assign(c.types, std::string(c.name_length, 't'));
    ref.endpoints.assign(c.endpoints, Endpoint::Loopback4(1));
    MessageWriter w;
    w.PutObjectRef(ref);
    auto body = Body(w);
    MessageReader r(body, MakeDataFormat(NativeByteOrder()));
    if (c.ok)
      EXPECT_NO_THROW(r.GetRef());
    else
      EXPECT_THROW(r.GetRef(), Error);
  }
}

// A valid call frame with one value of each kind, behind a script that reads them all.
std::vector<uint8_t> SeedInput(ByteOrder order) {
  MessageWriter w(order);
  w.PutU64(1), w.PutU64(2), w.PutU64(3), w.PutI32(1);
  w.PutI32(7);
  w.PutI64(-8);
  w.PutU8(1);
  w.PutF32(2.5f);
  w.PutTextRef("hello");
  Int32Array2D a(2, 3);
  w.PutArrayRef(a);
  w.PutObjectRef(ObjectRef{{9, 10}, {"X", "NetObj.T"}, {Endpoint::Loopback4(5)}});
  w.PutNullRef();
  auto frame = w.Seal(MessageKind::kCall);
  static constexpr uint8_t kScript[] = {10, 5, 0, 1, 2, 3, 4, 4, 4, 4, 6};
  std::vector<uint8_t> in(sizeof(kScript) + frame.size());
  std::memcpy(in.data(), kScript, sizeof(kScript));
  std::memcpy(in.data() + sizeof(kScript), frame.data(), frame.size());
  return in;
}

TEST(Message, TruncatedMessagesFailCleanly) {
  std::vector<uint8_t> seed = SeedInput(NativeByteOrder());
  EXPECT_EQ(DecodeInput(seed), 9);  // 9 values, then the text read runs past the end
  // Shorten the body while keeping the header's length honest.
  for (std::size_t cut = 1; cut < seed.size() - 11 - kHeaderSize; ++cut) {
    std::vector<uint8_t> in(seed.begin(), seed.end() - static_cast<long>(cut));
    uint32_t len = static_cast<uint32_t>(in.size() - 11 - kHeaderSize);
    in[11 + 12] = static_cast<uint8_t>(len >> 24), in[11 + 13] = static_cast<uint8_t>(len >> 16);
    in[11 + 14] = static_cast<uint8_t>(len >> 8), in[11 + 15] = static_cast<uint8_t>(len);
    EXPECT_LT(DecodeInput(in), 9);
  }
}

// Seeded, bounded: the same mutations every run. Faults show as crashes, sanitizer reports or
// exceptions other than the decoder's own.
TEST(Message, MutatedInputsNeverEscapeTheDecoder) {
  std::mt19937 rng(20240611);
  std::vector<std::vector<uint8_t>> seeds{SeedInput(ByteOrder::kLittle),
                                          SeedInput(ByteOrder::kBig)};
  int completed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> in = seeds[i % 2];
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = rng() % in.size();
      switch (rng() % 4) {
        case 0:
          in[at] = static_cast<uint8_t>(rng());
          break;
        case 1:
          in[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
          break;
        case 2:
          in.erase(in.begin() + static_cast<long>(at));
          break;
        default:
          in.insert(in.begin() + static_cast<long>(at), static_cast<uint8_t>(rng()));
      }
      if (in.empty()) in.push_back(0);
    }
    ASSERT_NO_THROW(completed += DecodeInput(in) == 9);
  }
  EXPECT_GT(completed, 0);  // some mutations leave the message readable
}

}  // namespace
