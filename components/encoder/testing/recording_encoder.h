// For tests: a recording fake of the whole encoder object model. Every call on
// every object is written to one shared log with its arguments, so one
// assertion compares the complete sequence of a scenario:
//
//   "create encoder#1"
//   "encoder#1.get_SourceGroupCollection"
//   "groups#1.Add(SG_1)"
//   "SG_1#1.AddSource(2)"            -> a VideoSource "video#1"
//   "video#1.SetInput(ScreenCap://ScreenCapture1, , )"
//   "profiles#1.Item(3)", "profile[3]#1.get_Name", "SG_1#1.put_Profile(profile[3])"
//   "video#1.put_CroppingRightMargin(0)"
//   "release video#1"                 (the last reference went away)
//
// Objects are numbered per encoder ("#1" belongs to the first encoder
// created). A scenario can make any call fail, or run code of its own when a
// call happens (to change the window between two reads, say).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/automation/automation.h"
#include "components/encoder/encoder.h"

namespace encoder::testing {

struct EncoderScript {
  // The names of the profiles every new encoder offers, in order.
  std::vector<Text> profiles;
  // Reported instead of profiles.size() when set (huge or negative counts).
  std::optional<std::int32_t> reportedCount;
  // Calls that fail, by log entry without arguments ("encoder#1.Start");
  // the failure carries this status and a description naming the call.
  std::map<std::string, Status> failures;
  // Code to run when a call is logged, by the same key, before it returns.
  std::map<std::string, std::function<void()>> onCall;
  // Whether creating an encoder fails (as a missing engine would).
  std::optional<Status> createFailure;
};

struct EncoderLog {
  EncoderScript script;
  std::vector<std::string> calls;
  int encodersCreated = 0;
  // Every object handed out, to find the ones still referenced.
  std::vector<std::pair<std::string, std::weak_ptr<rt::Object>>> handedOut;

  // Logs a call and returns the status the script gives it.
  Status record(const std::string& object, const std::string& member, const std::string& args,
                bool withArgs = true);
  // Names of the objects something still holds a reference to.
  std::vector<std::string> alive() const;
  // The calls without the "release …" entries.
  std::vector<std::string> callsOnly() const;
};

// The description a scripted failure carries.
Text failureText(const std::string& call);

// Registers the fake under the encoder's class identifier for the life of the
// object; each creation makes a fresh RecordingEncoder logging into `log`.
class RecordingEncoderFactory {
 public:
  RecordingEncoderFactory();
  std::shared_ptr<EncoderLog> log = std::make_shared<EncoderLog>();

 private:
  automation::Registration registration_;
};

}  // namespace encoder::testing
