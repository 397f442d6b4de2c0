// Request bodies are single gzip streams; answers are inflated with a cap.

#include "uploader/body_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "VextraPkg.pb.h"

namespace {

using Vextra::CompressBody;
using Vextra::CompressBodyBound;
using Vextra::DecompressBody;

// A gunzip independent of the code under test: inflates the whole stream and
// insists that it ends cleanly.
bool Gunzip(const std::string& in, std::string* out) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  stream.avail_in = static_cast<uInt>(in.size());
  out->clear();
  int result = Z_OK;
  char chunk[65536];
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    result = inflate(&stream, Z_NO_FLUSH);
    out->append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END && stream.avail_in == 0;
}

// A gzip stream made independently (best compression), for the answer side.
std::string Gzip(const std::string& in) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, in.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  stream.avail_in = static_cast<uInt>(in.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

std::string SerializedPacket() {
  VextraPkg::RequestPkg request;
  request.set_platformid(10);
  request.set_prodid("app-1");
  request.set_bundleid("bundleId");
  request.set_sdkver("2.2.2.944");
  request.set_cmd(840);
  VextraPkg::UniPacket packet;
  packet.set_encodename("utf-8");
  packet.set_irequestid(1);
  packet.set_sservantname("KplServer");
  packet.set_sfuncname("sync");
  *packet.mutable_request() = request;
  return packet.SerializeAsString();
}

TEST(BodyCodecTest, BodyIsGzipOfThePacketWithItsConstants) {
  std::string body;
  ASSERT_TRUE(CompressBody(SerializedPacket(), &body));
  ASSERT_GE(body.size(), 10u);
  EXPECT_EQ(static_cast<unsigned char>(body[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(body[1]), 0x8B);
  EXPECT_EQ(static_cast<unsigned char>(body[2]), 8);  // deflate

  std::string packet_bytes;
  ASSERT_TRUE(Gunzip(body, &packet_bytes));
  VextraPkg::UniPacket packet;
  ASSERT_TRUE(packet.ParseFromString(packet_bytes));
  EXPECT_EQ(packet.iversion(), 0);
  EXPECT_EQ(packet.encodename(), "utf-8");
  EXPECT_EQ(packet.irequestid(), 1);
  EXPECT_EQ(packet.sservantname(), "KplServer");
  EXPECT_EQ(packet.sfuncname(), "sync");
  EXPECT_EQ(packet.request().prodid(), "app-1");
  EXPECT_EQ(packet.request().cmd(), 840);
  EXPECT_FALSE(packet.has_response());
}

TEST(BodyCodecTest, EveryPayloadRoundTrips) {
  static const struct {
    const char* name;
    std::string input;
  } kCases[] = {
      {"short text", "user information envelope with a few fields"},
      {"repetitive 10 MiB", std::string(10 * 1024 * 1024, 'x')},
      // A crash report carries an already compressed dump of up to 5 MiB.
      {"incompressible 5 MiB", RandomBytes(5 * 1024 * 1024, 7)},
      // Below about 125 KB incompressible input needs more room than the
      // 32-bit formula gives; such a body must not come out empty.
      {"incompressible 40000 bytes", RandomBytes(40000, 8)},
      {"incompressible 100 bytes", RandomBytes(100, 9)},
      {"one byte", "x"},
      {"empty", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string body = "stale";
    ASSERT_TRUE(CompressBody(c.input, &body));
    std::string round_trip;
    ASSERT_TRUE(Gunzip(body, &round_trip));
    EXPECT_TRUE(round_trip == c.input);
  }
}

TEST(BodyCodecTest, CompressibleBodyStaysWithinTheFormula) {
  const std::string packet = SerializedPacket() + std::string(100000, 'a');
  std::string body;
  ASSERT_TRUE(CompressBody(packet, &body));
  EXPECT_LE(body.size(), CompressBodyBound(static_cast<uint32_t>(packet.size())));
  EXPECT_LT(body.size(), packet.size() / 10);
}

TEST(BodyCodecTest, BoundFollowsThe32BitFormula) {
  static constexpr struct {
    uint32_t n;
    uint32_t bound;
  } kCases[] = {
      {0, 13},
      {4095, 4108},
      {4096, 4110},
      {16384, 16402},
      {1u << 25, (1u << 25) + (1u << 13) + (1u << 11) + 1 + 13},
      {0xFFFFFFFFu, 0xFFFFFFFFu + 0xFFFFFu + 0x3FFFFu + 0x7Fu + 13u},  // wraps around
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(CompressBodyBound(c.n), c.bound);
  }
}

TEST(BodyCodecTest, DecompressesAnswersWithTheCapAndWithoutFailing) {
  const std::string text = "strategy answer";
  const std::string big = RandomBytes(150000, 3);
  const std::string big_body = Gzip(big);
  static const struct {
    const char* name;
    std::string body;
    std::string expected;
  } kCases[] = {
      {"gzip answer", Gzip(text), text},
      {"empty body", "", ""},
      {"plain text", "<html>404</html>", ""},
      {"zlib stream, not gzip", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8), ""},
      {"longer than the cap", big_body, big.substr(0, Vextra::kMaxAnswerBytes)},
      {"gzip of nothing", Gzip(""), ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(DecompressBody(c.body) == c.expected);
  }
}

TEST(BodyCodecTest, TruncatedAnswerGivesWhatInflatedBeforeTheCut) {
  const std::string text = RandomBytes(50000, 5);
  const std::string body = Gzip(text);
  const std::string result = DecompressBody(body.substr(0, body.size() / 2));
  EXPECT_FALSE(result.empty());
  EXPECT_LT(result.size(), text.size());
  EXPECT_TRUE(text.compare(0, result.size(), result) == 0);
}

TEST(BodyCodecTest, OwnBodiesDecodeBack) {
  const std::string packet = SerializedPacket();
  std::string body;
  ASSERT_TRUE(CompressBody(packet, &body));
  EXPECT_EQ(DecompressBody(body), packet);
}

}  // namespace
