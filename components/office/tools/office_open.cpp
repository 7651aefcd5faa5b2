// vardel-office-open FILE [CAPTION]: opens FILE visibly in the presentation
// application through "PowerPoint.Application", sets the caption, and ends,
// leaving the office open. The same calls the launcher makes; used to try
// the component by hand and by bench/launch.
#include <chrono>
#include <clocale>
#include <cstdio>

#include "components/automation/automation.h"
#include "components/office/office.h"
#include "runtime/ending.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FILE [CAPTION]\n", argv[0]);
    return 2;
  }
  office::registerPowerPoint();
  int status = 0;
  try {
    rt::ObjectRef app = automation::createObject(office::kProgId);
    automation::set(app, u"Visible", true);
    rt::Variant readOnly;
    automation::Args open;
    open.named.push_back({u"FileName", rt::fromUtf8(argv[1])});
    open.named.push_back({u"ReadOnly", rt::Variant::byRef(readOnly)});
    automation::call(automation::get(app, u"Presentations").toObject(), u"Open", open);
    if (argc == 3) automation::set(app, u"Caption", rt::fromUtf8(argv[2]));
  } catch (const rt::RuntimeError& e) {
    std::fprintf(stderr, "%s\n", rt::toUtf8(rt::describe(e)).c_str());
    status = 1;
  }
  // As the launcher ends: the connection closes, the office stays.
  return rt::endWithin(std::chrono::seconds(2), status,
                       [] { office::shutdown(std::chrono::milliseconds(1600)); });
}
