// The native PipeWire input's arithmetic: a buffer's timing as PipeWire
// gives it, turned into the moment of its samples, and a default sink
// followed through loopbacks to the device that plays it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "components/encoder/engine/pipewire_audio.h"

// PipeWire's timing of a buffer, as the native input turns it into a
// reading: the sample after the buffer, on the monotonic clock.
TEST(PipeWireTiming, ABuffersSamplesAreTimedFromTheCycleTheDelayAndTheResampler) {
  using encoder::engine::PipeWireTime;
  using encoder::engine::pipeWireAfterBufferNs;
  constexpr std::int64_t kNow = 10'000'000'000;  // the cycle began at 10 s
  // A source 10 ms (480 ticks at 48 kHz) from its device: what the cycle
  // brings ends 10 ms before the cycle began, whatever its length.
  EXPECT_EQ(pipeWireAfterBufferNs({kNow, 1, 48000, 480, 0}, 1024, 48000, false), kNow - 10'000'000);
  EXPECT_EQ(pipeWireAfterBufferNs({kNow, 1, 48000, 480, 0}, 256, 48000, false), kNow - 10'000'000);
  // A graph at 44.1 kHz: the delay counts in its own ticks.
  EXPECT_EQ(pipeWireAfterBufferNs({kNow, 1, 44100, 441, 0}, 960, 48000, false), kNow - 10'000'000);
  // 48 frames held in the resampler came out of the device 1 ms earlier.
  EXPECT_EQ(pipeWireAfterBufferNs({kNow, 1, 48000, 480, 48}, 1024, 48000, false), kNow - 11'000'000);
  // A monitor: the sink plays the cycle's block from the cycle's start, its
  // device's 200 ms later (a headset): 1024 frames later comes the next.
  EXPECT_EQ(pipeWireAfterBufferNs({kNow, 1, 48000, 0, 0}, 1024, 48000, true), kNow + 21'333'333);
  EXPECT_EQ(pipeWireAfterBufferNs({kNow, 1, 48000, 9600, 0}, 1024, 48000, true), kNow + 221'333'333);
  EXPECT_EQ(pipeWireAfterBufferNs({kNow, 1, 48000, 9600, 48}, 1024, 48000, true), kNow + 220'333'333);
}

TEST(PipeWireTiming, AMonitorIsTakenAtTheDeviceBehindALoopback) {
  using encoder::engine::deviceBehind;
  using encoder::engine::PipeWireLink;
  using encoder::engine::PipeWireNode;
  // A delaying loopback (a sink and its playback stream, one group) in
  // front of the null sink; a second loopback in front of the first.
  const std::vector<PipeWireNode> nodes{
      {42, "vardel_null", "Audio/Sink", ""},
      {43, "output.loop-a", "Stream/Output/Audio", "loop-a"},
      {44, "delayed", "Audio/Sink", "loop-a"},
      {45, "output.loop-b", "Stream/Output/Audio", "loop-b"},
      {46, "chained", "Audio/Sink", "loop-b"},
      {47, "firefox", "Stream/Output/Audio", ""},
      {48, "unlinked", "Audio/Sink", "loop-c"},
  };
  const std::vector<PipeWireLink> links{{43, 42}, {43, 42}, {45, 44}, {47, 46}};
  EXPECT_EQ(deviceBehind(nodes, links, "vardel_null"), "vardel_null");
  EXPECT_EQ(deviceBehind(nodes, links, "delayed"), "vardel_null");
  EXPECT_EQ(deviceBehind(nodes, links, "chained"), "vardel_null");
  // A group whose stream plays nowhere yet, and a name not in the graph.
  EXPECT_EQ(deviceBehind(nodes, links, "unlinked"), "unlinked");
  EXPECT_EQ(deviceBehind(nodes, links, "gone"), "gone");
  // Two loopbacks playing into each other end after a few steps.
  const std::vector<PipeWireNode> loop{{1, "a", "Audio/Sink", "g1"}, {2, "out.a", "Stream/Output/Audio", "g1"},
                                       {3, "b", "Audio/Sink", "g2"}, {4, "out.b", "Stream/Output/Audio", "g2"}};
  const std::string end = deviceBehind(loop, {{2, 3}, {4, 1}}, "a");
  EXPECT_TRUE(end == "a" || end == "b");
}
