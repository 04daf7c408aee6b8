#include "tools/zevrpc/bus_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace zev::rpc {
namespace {

FrameHeader SampleHeader(uint32_t length) {
  FrameHeader h;
  h.source = 0x01020304;
  h.destination = 0xA0B0C0D0;
  h.word_a = 7;
  h.word_b = 0xFFFFFFFF;
  h.channel = 3;
  h.length = length;
  return h;
}

TEST(BusFrame, EncodesLittleEndianFieldsAtFixedOffsets) {
  uint8_t bytes[kFrameHeaderSize];
  EncodeFrameHeader(SampleHeader(0x00112233), bytes);
  EXPECT_EQ(0, std::memcmp(bytes, "ZBUS", 4));
  EXPECT_EQ(1, bytes[4]);
  EXPECT_EQ(0, bytes[5]);
  EXPECT_EQ(kFrameHeaderSize, bytes[6]);
  EXPECT_EQ(0x04, bytes[8]);
  EXPECT_EQ(0xA0, bytes[15]);
  EXPECT_EQ(0x33, bytes[28]);
  EXPECT_EQ(0x00, bytes[31]);

  FrameHeader decoded;
  ASSERT_EQ(FrameStatus::kOk, DecodeFrameHeader(bytes, sizeof(bytes), 0xA0B0C0D0, &decoded));
  EXPECT_EQ(0x01020304u, decoded.source);
  EXPECT_EQ(7u, decoded.word_a);
  EXPECT_EQ(0xFFFFFFFFu, decoded.word_b);
  EXPECT_EQ(3u, decoded.channel);
  EXPECT_EQ(0x00112233u, decoded.length);
}

TEST(BusFrame, RefusesEveryMalformedOrForeignHeader) {
  uint8_t good[kFrameHeaderSize];
  EncodeFrameHeader(SampleHeader(16), good);
  FrameHeader out;
  EXPECT_EQ(FrameStatus::kNeedMore, DecodeFrameHeader(good, kFrameHeaderSize - 1, 0xA0B0C0D0, &out));
  for (size_t offset : {0u, 4u, 6u, 32u, 39u}) {
    uint8_t bad[kFrameHeaderSize];
    std::memcpy(bad, good, sizeof(bad));
    bad[offset] ^= 0x40;
    EXPECT_EQ(FrameStatus::kBadFrame, DecodeFrameHeader(bad, sizeof(bad), 0xA0B0C0D0, &out)) << offset;
  }
  EXPECT_EQ(FrameStatus::kWrongDestination, DecodeFrameHeader(good, sizeof(good), 0xA0B0C0D1, &out));

  uint8_t largest[kFrameHeaderSize];
  EncodeFrameHeader(SampleHeader(pubsdk::kBusMaxMessage), largest);
  EXPECT_EQ(FrameStatus::kOk, DecodeFrameHeader(largest, sizeof(largest), 0xA0B0C0D0, &out));
  EncodeFrameHeader(SampleHeader(pubsdk::kBusMaxMessage + 1), largest);
  EXPECT_EQ(FrameStatus::kTooLarge, DecodeFrameHeader(largest, sizeof(largest), 0xA0B0C0D0, &out));
  EncodeFrameHeader(SampleHeader(0xFFFFFFFF), largest);
  EXPECT_EQ(FrameStatus::kTooLarge, DecodeFrameHeader(largest, sizeof(largest), 0xA0B0C0D0, &out));
}

TEST(BusFrame, ReaderAssemblesByteByByteAndStopsAtTheFrameEnd) {
  std::vector<uint8_t> stream(kFrameHeaderSize);
  EncodeFrameHeader(SampleHeader(5), stream.data());
  for (uint8_t b : {'h', 'e', 'l', 'l', 'o', 'X', 'Y'}) stream.push_back(b);  // two bytes past the frame

  FrameReader reader(0xA0B0C0D0);
  size_t taken = 0;
  for (size_t i = 0; i < stream.size(); ++i) taken += reader.Feed(&stream[i], 1);
  EXPECT_EQ(kFrameHeaderSize + 5, taken);
  ASSERT_EQ(FrameStatus::kOk, reader.status());
  EXPECT_EQ(5u, reader.header().length);
  auto data = reader.TakeData();
  EXPECT_EQ(0, std::memcmp(data.get(), "hello", 5));
}

TEST(BusFrame, ReaderFinishesEmptyFramesAndTakesNothingAfterARefusedHeader) {
  uint8_t bytes[kFrameHeaderSize + 8] = {};
  EncodeFrameHeader(SampleHeader(0), bytes);
  FrameReader empty(0xA0B0C0D0);
  EXPECT_EQ(kFrameHeaderSize, empty.Feed(bytes, sizeof(bytes)));
  EXPECT_EQ(FrameStatus::kOk, empty.status());
  EXPECT_EQ(nullptr, empty.TakeData());

  EncodeFrameHeader(SampleHeader(pubsdk::kBusMaxMessage + 1), bytes);
  FrameReader huge(0xA0B0C0D0);
  EXPECT_EQ(kFrameHeaderSize, huge.Feed(bytes, sizeof(bytes)));
  EXPECT_EQ(FrameStatus::kTooLarge, huge.status());
  EXPECT_EQ(0u, huge.WriteRoom());
  EXPECT_EQ(0u, huge.Feed(bytes, sizeof(bytes)));
  EXPECT_EQ(kAckTooLarge, AckForStatus(huge.status()));
}

TEST(BusFrame, AcknowledgementsMapToSendResults) {
  uint8_t ack[kAckSize];
  EncodeAck(kAckInboxFull, ack);
  EXPECT_EQ(static_cast<uint32_t>(kAckInboxFull), DecodeAck(ack));
  EXPECT_EQ(pubsdk::kS_OK, ResultForAck(kAckQueued));
  EXPECT_EQ(pubsdk::kBusErrInboxFull, ResultForAck(kAckInboxFull));
  EXPECT_EQ(pubsdk::kBusErrTooLarge, ResultForAck(kAckTooLarge));
  EXPECT_EQ(pubsdk::kBusErrNoNode, ResultForAck(kAckWrongDestination));
  EXPECT_EQ(pubsdk::kBusErrIo, ResultForAck(kAckBadFrame));
  EXPECT_EQ(pubsdk::kBusErrIo, ResultForAck(kAckNotAllowed));
  EXPECT_EQ(pubsdk::kBusErrIo, ResultForAck(12345));
}

}  // namespace
}  // namespace zev::rpc
