#include "launcher/tests/fake_office.h"

#include "components/automation/testing/call_log.h"

namespace launcher::testing {

namespace {

using automation::Args;
using automation::CallKind;
using automation::DispId;
using rt::Status;
using rt::Variant;

// Members by name; the fake answers every name so the log shows what the
// launcher asked for, and fails the ones it does not know at invoke time.
class Recorder : public automation::Dispatch {
 public:
  Recorder(std::shared_ptr<OfficeScript> script, std::string prefix)
      : script_(std::move(script)), prefix_(std::move(prefix)) {}

  Status idOfName(std::u16string_view name, DispId& id) override {
    names_.emplace_back(rt::toUtf8(name));
    id = static_cast<DispId>(names_.size());
    return rt::status::Ok;
  }

  Status invoke(DispId id, CallKind kind, const Args& args, Variant& result) override {
    const std::string name = names_.at(static_cast<std::size_t>(id - 1));
    const char* verb = kind == CallKind::PropertyPut   ? "put "
                       : kind == CallKind::PropertyGet ? "get "
                                                       : "call ";
    script_->log.push_back(verb + automation::testing::describeCall(prefix_ + name, args));
    if (auto f = script_->failing.find(name); f != script_->failing.end())
      return rt::fail(f->second.status, f->second.description);
    return answer(name, kind, result);
  }

 protected:
  virtual Status answer(const std::string& name, CallKind kind, Variant& result) = 0;
  std::shared_ptr<OfficeScript> script_;

 private:
  std::string prefix_;
  std::vector<std::string> names_;
};

class Presentations : public Recorder {
 public:
  explicit Presentations(std::shared_ptr<OfficeScript> s) : Recorder(std::move(s), "Presentations.") {}

 protected:
  Status answer(const std::string& name, CallKind kind, Variant&) override {
    if (name == "Open" && kind == CallKind::Method) return rt::status::Ok;
    return rt::fail(rt::status::MemberNotFound, u"no such member");
  }
};

class Application : public Recorder {
 public:
  explicit Application(std::shared_ptr<OfficeScript> s) : Recorder(std::move(s), "") {}

 protected:
  Status answer(const std::string& name, CallKind kind, Variant& result) override {
    if ((name == "Visible" || name == "Caption") && kind == CallKind::PropertyPut)
      return rt::status::Ok;
    if (name == "Quit" && kind == CallKind::Method) return rt::status::Ok;
    if (name == "Presentations" && kind == CallKind::PropertyGet) {
      result = Variant(std::make_shared<Presentations>(script_));
      return rt::status::Ok;
    }
    return rt::fail(rt::status::MemberNotFound, u"no such member");
  }
};

}  // namespace

FakeOffice::FakeOffice()
    : registration(automation::registerClass(u"PowerPoint.Application", [this](rt::ObjectRef& out) {
        script->log.push_back("create");
        if (auto f = script->failing.find("create"); f != script->failing.end())
          return rt::fail(f->second.status, f->second.description);
        out = newApplication();
        return rt::status::Ok;
      })) {}

rt::ObjectRef FakeOffice::newApplication() {
  auto app = std::make_shared<Application>(script);
  lastApplication = app;
  return app;
}

}  // namespace launcher::testing
