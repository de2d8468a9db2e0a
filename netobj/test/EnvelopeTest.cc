// The call header and the error body through their codecs, in both byte orders: what is put is
// what is got, and what exceeds the wire format's limits is cut on writing and refused on reading.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "netobj/Envelope.h"
#include "netobj/LeaseProtocol.h"

namespace {

using namespace NetObj;

constexpr ByteOrder kOrders[] = {ByteOrder::kLittle, ByteOrder::kBig};

// The body of the message `put` writes, as a reader in the writer's byte order.
struct Written {
  std::vector<uint8_t> body;
  MessageReader in;
};
Written Write(ByteOrder order, const std::function<void(MessageWriter&)>& put) {
  MessageWriter w(order);
  put(w);
  std::span<const uint8_t> frame = w.Seal(MessageKind::kCall);
  Written out;
  out.body.assign(frame.begin() + kHeaderSize, frame.end());
  out.in.Reset(out.body, MakeDataFormat(order));
  return out;
}

std::vector<ExportTable::Release> Releases(std::size_t n) {
  std::vector<ExportTable::Release> r(n);
  for (std::size_t i = 0; i < n; ++i) r[i] = {i + 1, 0x0102030405060708u + i, 3 * i + 1};
  return r;
}

TEST(Envelope, CallHeadersComeBackWholeUpToTheReleaseLimit) {
  const CallHeader header{0x1122334455667788u, {0x99aabbccddeeff00u, 17}, -5};
  for (ByteOrder order : kOrders) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{kMaxLeaseItems}}) {
      std::vector<ExportTable::Release> sent = Releases(n);
      Written m = Write(order, [&](MessageWriter& w) { PutCallHeader(w, header, sent); });
      ReceivedCall got = GetCallHeader(m.in);
      EXPECT_EQ(got.header.caller, header.caller) << n;
      EXPECT_EQ(got.header.target, header.target) << n;
      EXPECT_EQ(got.header.stub_prot, header.stub_prot) << n;
      ASSERT_EQ(got.releases.size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(got.releases[i].id, sent[i].id);
        EXPECT_EQ(got.releases[i].epoch, sent[i].epoch);
        EXPECT_EQ(got.releases[i].count, sent[i].count);
      }
      EXPECT_EQ(m.in.remaining(), 0u) << n;
      std::optional<WireId> target = PeekCallTarget(m.body, MakeDataFormat(order));
      ASSERT_TRUE(target);
      EXPECT_EQ(*target, header.target);
    }
  }
}

TEST(Envelope, ACallOverTheReleaseLimitOrTooShortIsRefused) {
  std::vector<ExportTable::Release> sent = Releases(kMaxLeaseItems + 1);
  Written m = Write(ByteOrder::kBig, [&](MessageWriter& w) { PutCallHeader(w, {}, sent); });
  EXPECT_THROW(GetCallHeader(m.in), Error);
  std::span<const uint8_t> short_body(m.body.data(), 23);
  EXPECT_FALSE(PeekCallTarget(short_body, MakeDataFormat(ByteOrder::kBig)));
}

TEST(Envelope, ErrorBodiesAreCutToTheLimitsOnWriting) {
  const std::string longest(kMaxAtomLength, 'x');
  struct Case {
    const char* name;
    AtomList put;
    AtomList got;
  } cases[] = {
      {"none", {}, {"remote failure"}},
      {"some", {"unknown object", "object 7", ""}, {"unknown object", "object 7", ""}},
      {"an atom too long", {longest + "y"}, {longest}},
      {"too many atoms", AtomList(kMaxErrorAtoms + 1, "a"), AtomList(kMaxErrorAtoms, "a")},
  };
  for (ByteOrder order : kOrders) {
    for (const Case& c : cases) {
      Written m = Write(order, [&](MessageWriter& w) { PutErrorBody(w, c.put); });
      EXPECT_EQ(GetErrorBody(m.in), c.got) << c.name;
      EXPECT_EQ(m.in.remaining(), 0u) << c.name;
    }
  }
}

TEST(Envelope, ErrorBodiesBeyondTheLimitsAreRefusedOnReading) {
  struct Case {
    const char* name;
    uint32_t count;
    std::vector<std::string> atoms;
  } cases[] = {
      {"no atom", 0, {}},
      {"too many atoms", kMaxErrorAtoms + 1, AtomList(kMaxErrorAtoms + 1, "a")},
      {"an atom too long", 1, {std::string(kMaxAtomLength + 1, 'x')}},
      {"fewer atoms than counted", 2, {"a"}},
  };
  for (const Case& c : cases) {
    Written m = Write(ByteOrder::kLittle, [&](MessageWriter& w) {
      w.PutU32(c.count);
      for (const std::string& a : c.atoms) w.PutString(a);
    });
    EXPECT_THROW(GetErrorBody(m.in), Error) << c.name;
  }
}

TEST(Envelope, OnlyAnUnknownObjectFirstSaysUnknownObject) {
  struct Case {
    AtomList atoms;
    bool says;
  } cases[] = {
      {{kUnknownObject, "object 9"}, true},
      {{"server busy", kUnknownObject}, false},
      {{}, false},  // written as "remote failure"
  };
  for (const Case& c : cases) {
    Written m = Write(ByteOrder::kBig, [&](MessageWriter& w) { PutErrorBody(w, c.atoms); });
    EXPECT_EQ(SaysUnknownObject(m.in), c.says) << (c.atoms.empty() ? "" : c.atoms[0]);
  }
}

}  // namespace
