// The office module's entry point: the one symbol the programs look up.
#include "components/office/module_abi.h"
#include "components/office/uno/application.h"

namespace {

rt::Status create(automation::DispatchRef* application) {
  try {
    return office::createApplication(*application);
  } catch (...) {
    return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                    u"Cannot start the presentation application: unexpected failure.");
  }
}

void takeError(rt::Text* description) { *description = rt::takeErrorInfo(); }

void warmUp() {
  try {
    office::warmUp();
  } catch (...) {
    // Nothing was gained; a creation starts the office itself.
  }
}

void shutdown(long long withinMilliseconds) {
  try {
    office::shutdown(std::chrono::milliseconds(withinMilliseconds));
  } catch (...) {
    // What could not be ended cleanly ends with the process.
  }
}

constexpr VardelOfficeModule kModule{kVardelOfficeAbi, create, takeError, warmUp, shutdown};

}  // namespace

extern "C" __attribute__((visibility("default"))) const VardelOfficeModule* vardel_office_module() {
  return &kModule;
}
