// The media-encoder component's object model: one abstract class per object
// the recorder configures. Every call returns a status (negative = failure);
// a failing call leaves a description in the user's words in the thread's
// error info (rt::setErrorInfo), which rt::check() turns into the run-time
// error. Objects are reference-counted through std::shared_ptr.
//
// The recorder creates an encoder by the component's class identifier
// (kEncoderClassId) through the automation registry; the FFmpeg engine
// registers itself there, tests register fakes.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/error.h"
#include "runtime/variant.h"

namespace encoder {

using rt::Status;
using rt::Text;
template <class T>
using Ref = std::shared_ptr<T>;

// The component's class identifier; creating it yields an Encoder.
inline constexpr char16_t kEncoderClassId[] = u"{632B606A-BBC6-11D2-A329-006097C4E476}";

enum class SourceType : std::int32_t { Audio = 1, Video = 2 };

class SourceGroupCollection;
class ProfileCollection;
class ContentDescription;
class AttributeCollection;
class OutputFile;
class SourceGroup;
class Source;
class Profile;

class Encoder : public rt::Object {
 public:
  virtual Status get_SourceGroupCollection(Ref<SourceGroupCollection>& out) = 0;
  virtual Status get_ProfileCollection(Ref<ProfileCollection>& out) = 0;
  virtual Status get_DisplayInfo(Ref<ContentDescription>& out) = 0;
  virtual Status get_Attributes(Ref<AttributeCollection>& out) = 0;
  virtual Status get_File(Ref<OutputFile>& out) = 0;
  // Start opens the output and begins recording; Stop completes the file.
  // Releasing the last reference to a running encoder stops it the same way.
  virtual Status Start() = 0;
  virtual Status Stop() = 0;
};

class SourceGroupCollection : public rt::Object {
 public:
  virtual Status Add(const Text& name, Ref<SourceGroup>& out) = 0;
};

class SourceGroup : public rt::Object {
 public:
  virtual Status AddSource(SourceType type, Ref<Source>& out) = 0;
  // The profile, passed as a Variant holding a reference to a Profile of this
  // encoder's profile collection.
  virtual Status put_Profile(const rt::Variant& profile) = 0;
};

class Source : public rt::Object {
 public:
  // The input address ("ScreenCap://ScreenCapture1",
  // "DEVICE://Default_Audio_Device"), a scheme and initialisation data.
  virtual Status SetInput(const Text& input, const Text& scheme, const Text& initData) = 0;
};

// A video source (what AddSource returns for SourceType::Video): a source that also crops. The four margins are pixels cut
// from each edge of the captured picture; 0 keeps the whole screen.
class VideoSource : public Source {
 public:
  virtual Status put_CroppingBottomMargin(std::int32_t pixels) = 0;
  virtual Status put_CroppingTopMargin(std::int32_t pixels) = 0;
  virtual Status put_CroppingLeftMargin(std::int32_t pixels) = 0;
  virtual Status put_CroppingRightMargin(std::int32_t pixels) = 0;
};

// An audio source: a source with no further members of its own.
class AudioSource : public Source {};

class ProfileCollection : public rt::Object {
 public:
  virtual Status get_Count(std::int32_t& count) = 0;
  virtual Status Item(std::int32_t index, Ref<Profile>& out) = 0;
};

class Profile : public rt::Object {
 public:
  virtual Status get_Name(Text& name) = 0;
};

class ContentDescription : public rt::Object {
 public:
  virtual Status put_Author(const Text& v) = 0;
  virtual Status put_Copyright(const Text& v) = 0;
  virtual Status put_Description(const Text& v) = 0;
  virtual Status put_Rating(const Text& v) = 0;
  virtual Status put_Title(const Text& v) = 0;
};

class AttributeCollection : public rt::Object {
 public:
  virtual Status Add(const Text& name, const rt::Variant& value) = 0;
};

class OutputFile : public rt::Object {
 public:
  virtual Status put_LocalFileName(const Text& path) = 0;
};

// Asks an object for another of its interfaces, like COM's QueryInterface:
// status::NoInterface with a description when it has not got it.
template <class T, class U>
Status query(const Ref<U>& from, Ref<T>& out) {
  out = std::dynamic_pointer_cast<T>(from);
  if (out) return rt::status::Ok;
  return rt::fail(rt::status::NoInterface, u"The object does not support the requested interface.");
}

}  // namespace encoder
