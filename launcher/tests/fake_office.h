// A recording fake of "PowerPoint.Application". It logs the creation and
// every call on the application and its presentations, with argument names
// and kinds: "create", "put Visible(bool:true)", "get Presentations()",
// "call Presentations.Open(FileName=text:..., ReadOnly=ref(empty))", ...
// A member named in `failing` ("create", "Open", "Quit", ...) fails.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "components/automation/automation.h"

namespace launcher::testing {

struct OfficeScript {
  struct Failure {
    rt::Status status;
    rt::Text description;
  };
  std::vector<std::string> log;
  std::map<std::string, Failure> failing;
};

class FakeOffice {
 public:
  FakeOffice();
  // A new application object, as a launch leaves one in PPTApp.
  rt::ObjectRef newApplication();

  std::shared_ptr<OfficeScript> script = std::make_shared<OfficeScript>();
  std::weak_ptr<rt::Object> lastApplication;
  automation::Registration registration;
};

}  // namespace launcher::testing
