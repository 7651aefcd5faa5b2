// A recording fake of "PowerPoint.Application" for the launcher's tests. It
// logs the creation and every call on the application and on its
// presentations collection, with argument names and kinds:
//   "create", "put Visible(bool:true)", "get Presentations()",
//   "call Presentations.Open(FileName=text:..., ReadOnly=ref(empty))",
//   "put Caption(text:...)", "call Quit()".
// A member named in `failing` fails with that status and description.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "components/automation/automation.h"

namespace launcher::testing {

struct OfficeScript {
  std::vector<std::string> log;
  struct Failure {
    rt::Status status;
    rt::Text description;
  };
  std::map<std::string, Failure> failing;  // "create", "Visible", "Open", "Caption", "Quit", ...
};

class FakeOffice {
 public:
  FakeOffice();

  // A new application object outside any launch (for putting into PPTApp).
  rt::ObjectRef newApplication();

  std::shared_ptr<OfficeScript> script = std::make_shared<OfficeScript>();
  std::weak_ptr<rt::Object> lastApplication;
  automation::Registration registration;
};

}  // namespace launcher::testing
