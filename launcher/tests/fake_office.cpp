#include "launcher/tests/fake_office.h"

#include "components/automation/testing/call_log.h"

namespace launcher::testing {

namespace {

// Answers every member name, logs each call, and hands out a presentations
// collection (a second Recorder) for "Presentations".
class Recorder : public automation::Dispatch {
 public:
  Recorder(std::shared_ptr<OfficeScript> script, std::string prefix)
      : script_(std::move(script)), prefix_(std::move(prefix)) {}

  rt::Status idOfName(std::u16string_view name, automation::DispId& id) override {
    names_.emplace_back(rt::toUtf8(name));
    id = static_cast<automation::DispId>(names_.size());
    return rt::status::Ok;
  }

  rt::Status invoke(automation::DispId id, automation::CallKind kind, const automation::Args& args,
                    rt::Variant& result) override {
    using automation::CallKind;
    const std::string name = names_.at(static_cast<std::size_t>(id - 1));
    const char* verb = kind == CallKind::PropertyPut   ? "put "
                       : kind == CallKind::PropertyGet ? "get "
                                                       : "call ";
    script_->log.push_back(verb + automation::testing::describeCall(prefix_ + name, args));
    if (auto f = script_->failing.find(name); f != script_->failing.end())
      return rt::fail(f->second.status, f->second.description);
    if (prefix_.empty() && name == "Presentations")
      result = rt::Variant(std::make_shared<Recorder>(script_, "Presentations."));
    return rt::status::Ok;
  }

 private:
  std::shared_ptr<OfficeScript> script_;
  std::string prefix_;
  std::vector<std::string> names_;
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
  auto app = std::make_shared<Recorder>(script, "");
  lastApplication = app;
  return app;
}

}  // namespace launcher::testing
