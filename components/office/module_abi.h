// The boundary between the programs and the office module (loaded with
// dlopen): one C entry point, vardel_office_module(), returning this table.
//
// The module carries its own copy of the run-time support, so the error
// description its failing calls leave is in the module's per-thread error
// info; the program's side fetches it with takeError right after each failing
// status and moves it into its own.
#pragma once

#include "components/automation/automation.h"

extern "C" {

struct VardelOfficeModule {
  int abiVersion;  // kVardelOfficeAbi of the module's build
  // Starts or connects to the office and creates the application object.
  rt::Status (*create)(automation::DispatchRef* application);
  // Moves the description of this thread's last failure out of the module.
  void (*takeError)(rt::Text* description);
  // Starts or connects to the office ahead of the first creation; returns
  // when connected (or failed), on the calling thread.
  void (*warmUp)();
  // Ends everything of the office in this program within about that many
  // milliseconds (see office::shutdown).
  void (*shutdown)(long long withinMilliseconds);
};

// The only symbol the programs look up.
const VardelOfficeModule* vardel_office_module();
}

inline constexpr int kVardelOfficeAbi = 2;
inline constexpr char kVardelOfficeEntry[] = "vardel_office_module";
