#include "components/encoder/testing/recording_encoder.h"

#include "components/automation/testing/call_log.h"

namespace encoder::testing {

namespace {

std::string utf8(const Text& t) { return rt::toUtf8(t); }

// What every fake object shares: its name in the log, and the log itself.
class Fake {
 public:
  Fake(std::shared_ptr<EncoderLog> log, std::string name)
      : log_(std::move(log)), name_(std::move(name)) {}
  Fake(const Fake&) = delete;
  Fake& operator=(const Fake&) = delete;
  ~Fake() { log_->calls.push_back("release " + name_); }

  const std::string& name() const { return name_; }

 protected:
  Status record(const std::string& member, const std::string& args = {}, bool withArgs = false) {
    return log_->record(name_, member, args, withArgs);
  }
  // Hands out a new fake object and remembers it for EncoderLog::alive().
  template <class T, class... A>
  std::shared_ptr<T> make(std::string name, A&&... a) {
    auto obj = std::make_shared<T>(log_, std::move(name), std::forward<A>(a)...);
    log_->handedOut.emplace_back(obj->name(), obj);
    return obj;
  }
  std::string suffix() const { return name_.substr(name_.rfind('#')); }

  std::shared_ptr<EncoderLog> log_;
  std::string name_;
};

class FakeProfile : public Profile, public Fake {
 public:
  FakeProfile(std::shared_ptr<EncoderLog> log, std::string name, Text profileName)
      : Fake(std::move(log), std::move(name)), profileName_(std::move(profileName)) {}
  Status get_Name(Text& name) override {
    const Status s = record("get_Name");
    if (!rt::failed(s)) name = profileName_;
    return s;
  }

 private:
  Text profileName_;
};

class FakeProfiles : public ProfileCollection, public Fake {
 public:
  using Fake::Fake;
  Status get_Count(std::int32_t& count) override {
    const Status s = record("get_Count");
    if (!rt::failed(s))
      count = log_->script.reportedCount.value_or(
          static_cast<std::int32_t>(log_->script.profiles.size()));
    return s;
  }
  Status Item(std::int32_t index, Ref<Profile>& out) override {
    const Status s = record("Item", std::to_string(index), true);
    if (rt::failed(s)) return s;
    const auto& names = log_->script.profiles;
    if (index < 0 || static_cast<std::size_t>(index) >= names.size())
      return rt::fail(rt::status::InvalidArg, u"There is no profile at that position.");
    out = make<FakeProfile>("profile[" + std::to_string(index) + "]" + suffix(),
                            names[static_cast<std::size_t>(index)]);
    return s;
  }
};

class FakeVideoSource : public VideoSource, public Fake {
 public:
  using Fake::Fake;
  Status SetInput(const Text& input, const Text& scheme, const Text& initData) override {
    return record("SetInput", utf8(input) + ", " + utf8(scheme) + ", " + utf8(initData), true);
  }
  Status put_CroppingBottomMargin(std::int32_t v) override { return margin("Bottom", v); }
  Status put_CroppingTopMargin(std::int32_t v) override { return margin("Top", v); }
  Status put_CroppingLeftMargin(std::int32_t v) override { return margin("Left", v); }
  Status put_CroppingRightMargin(std::int32_t v) override { return margin("Right", v); }

 private:
  Status margin(const std::string& edge, std::int32_t v) {
    return record("put_Cropping" + edge + "Margin", std::to_string(v), true);
  }
};

class FakeAudioSource : public AudioSource, public Fake {
 public:
  using Fake::Fake;
  Status SetInput(const Text& input, const Text& scheme, const Text& initData) override {
    return record("SetInput", utf8(input) + ", " + utf8(scheme) + ", " + utf8(initData), true);
  }
};

class FakeSourceGroup : public SourceGroup, public Fake {
 public:
  using Fake::Fake;
  Status AddSource(SourceType type, Ref<Source>& out) override {
    const Status s = record("AddSource", std::to_string(static_cast<int>(type)), true);
    if (rt::failed(s)) return s;
    if (type == SourceType::Video)
      out = make<FakeVideoSource>(numbered("video") + suffix());
    else if (type == SourceType::Audio)
      out = make<FakeAudioSource>(numbered("audio") + suffix());
    else
      return rt::fail(rt::status::InvalidArg, u"There is no source of that type.");
    return s;
  }
  Status put_Profile(const rt::Variant& profile) override {
    std::string what = automation::testing::describe(profile);
    if (auto* p = dynamic_cast<FakeProfile*>(profile.toObject().get())) what = p->name();
    return record("put_Profile", what, true);
  }

 private:
  std::string numbered(const std::string& kind) {
    const int n = ++sources_[kind];
    return n == 1 ? kind : kind + std::to_string(n);
  }
  std::map<std::string, int> sources_;
};

class FakeSourceGroups : public SourceGroupCollection, public Fake {
 public:
  using Fake::Fake;
  Status Add(const Text& name, Ref<SourceGroup>& out) override {
    const Status s = record("Add", utf8(name), true);
    if (!rt::failed(s)) out = make<FakeSourceGroup>(utf8(name) + suffix());
    return s;
  }
};

class FakeDescription : public ContentDescription, public Fake {
 public:
  using Fake::Fake;
  Status put_Author(const Text& v) override { return record("put_Author", utf8(v), true); }
  Status put_Copyright(const Text& v) override { return record("put_Copyright", utf8(v), true); }
  Status put_Description(const Text& v) override {
    return record("put_Description", utf8(v), true);
  }
  Status put_Rating(const Text& v) override { return record("put_Rating", utf8(v), true); }
  Status put_Title(const Text& v) override { return record("put_Title", utf8(v), true); }
};

class FakeAttributes : public AttributeCollection, public Fake {
 public:
  using Fake::Fake;
  Status Add(const Text& name, const rt::Variant& value) override {
    return record("Add", utf8(name) + ", " + automation::testing::describe(value), true);
  }
};

class FakeOutputFile : public OutputFile, public Fake {
 public:
  using Fake::Fake;
  Status put_LocalFileName(const Text& path) override {
    return record("put_LocalFileName", utf8(path), true);
  }
};

class RecordingEncoder : public Encoder, public Fake {
 public:
  using Fake::Fake;
  Status get_SourceGroupCollection(Ref<SourceGroupCollection>& out) override {
    return hand("get_SourceGroupCollection", out, [&] { return make<FakeSourceGroups>("groups" + suffix()); });
  }
  Status get_ProfileCollection(Ref<ProfileCollection>& out) override {
    return hand("get_ProfileCollection", out, [&] { return make<FakeProfiles>("profiles" + suffix()); });
  }
  Status get_DisplayInfo(Ref<ContentDescription>& out) override {
    return hand("get_DisplayInfo", out, [&] { return make<FakeDescription>("description" + suffix()); });
  }
  Status get_Attributes(Ref<AttributeCollection>& out) override {
    return hand("get_Attributes", out, [&] { return make<FakeAttributes>("attributes" + suffix()); });
  }
  Status get_File(Ref<OutputFile>& out) override {
    return hand("get_File", out, [&] { return make<FakeOutputFile>("file" + suffix()); });
  }
  Status Start() override { return record("Start"); }
  Status Stop() override { return record("Stop"); }

 private:
  template <class Out, class Make>
  Status hand(const std::string& member, Out& out, Make&& makeObject) {
    const Status s = record(member);
    if (!rt::failed(s)) out = makeObject();
    return s;
  }
};

}  // namespace

Text failureText(const std::string& call) {
  return u"The recording failed at " + rt::fromUtf8(call) + u".";
}

Status EncoderLog::record(const std::string& object, const std::string& member,
                          const std::string& args, bool withArgs) {
  const std::string key = object + "." + member;
  calls.push_back(withArgs ? key + "(" + args + ")" : key);
  if (auto hook = script.onCall.find(key); hook != script.onCall.end()) hook->second();
  if (auto f = script.failures.find(key); f != script.failures.end())
    return rt::fail(f->second, failureText(key));
  return rt::status::Ok;
}

std::vector<std::string> EncoderLog::alive() const {
  std::vector<std::string> out;
  for (const auto& [name, ref] : handedOut)
    if (!ref.expired()) out.push_back(name);
  return out;
}

std::vector<std::string> EncoderLog::callsOnly() const {
  std::vector<std::string> out;
  for (const auto& c : calls)
    if (c.rfind("release ", 0) != 0) out.push_back(c);
  return out;
}

RecordingEncoderFactory::RecordingEncoderFactory()
    : registration_(automation::registerClass(kEncoderClassId, [log = log](rt::ObjectRef& out) {
        const std::string name = "encoder#" + std::to_string(++log->encodersCreated);
        log->calls.push_back("create " + name);
        if (log->script.createFailure)
          return rt::fail(*log->script.createFailure, failureText("create " + name));
        auto enc = std::make_shared<RecordingEncoder>(log, name);
        log->handedOut.emplace_back(name, enc);
        out = enc;
        return rt::status::Ok;
      })) {}

}  // namespace encoder::testing
