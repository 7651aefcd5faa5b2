// The run-time error: what a failed component call, a failed conversion or a
// cancelled dialog raises in the running event procedure.
//
// Components report failures as a 32-bit status (negative = failure) and leave
// a description of what went wrong in the calling thread's error info, the way
// COM components use SetErrorInfo. check() turns a failing status into a
// RuntimeError carrying that description.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "runtime/text.h"

namespace rt {

using Status = std::int32_t;

// Error numbers the programs raise themselves. Every other run-time error
// carries the failing component status itself as its number.
namespace err {
inline constexpr std::int32_t InvalidCall = 5;
inline constexpr std::int32_t Overflow = 6;
inline constexpr std::int32_t OutOfMemory = 7;
inline constexpr std::int32_t InternalError = 51;
inline constexpr std::int32_t ObjectRequired = 91;
inline constexpr std::int32_t CannotCreateObject = 429;
inline constexpr std::int32_t MemberNotSupported = 438;
inline constexpr std::int32_t DialogCancelled = 32755;
}  // namespace err

// Statuses. A run-time error number n travels between components as the
// status 0x800A0000 | n, the encoding automation servers use for them.
namespace status {
inline constexpr Status Ok = 0;
inline constexpr Status False = 1;
inline constexpr Status Fail = static_cast<Status>(0x80004005);
inline constexpr Status NoInterface = static_cast<Status>(0x80004002);
inline constexpr Status InvalidArg = static_cast<Status>(0x80070057);
inline constexpr Status OutOfMemory = static_cast<Status>(0x8007000E);
inline constexpr Status UnexpectedState = static_cast<Status>(0x8000FFFF);
inline constexpr Status MemberNotFound = static_cast<Status>(0x80020003);
inline constexpr Status UnknownName = static_cast<Status>(0x80020006);
inline constexpr Status TypeMismatch = static_cast<Status>(0x80020005);
inline constexpr Status BadParamCount = static_cast<Status>(0x8002000E);
inline constexpr Status ParamNotOptional = static_cast<Status>(0x8002000F);
inline constexpr Status ClassNotRegistered = static_cast<Status>(0x80040154);
constexpr Status fromErrorNumber(std::int32_t number) {
  return static_cast<Status>(0x800A0000u | (static_cast<std::uint32_t>(number) & 0xFFFFu));
}
}  // namespace status

constexpr bool failed(Status s) { return s < 0; }

// The description a component leaves for its caller's next check().
// Per thread; setting it replaces any earlier one.
void setErrorInfo(Text description);
Text takeErrorInfo();
void clearErrorInfo();

// Convenience for components: record the description and return the status.
Status fail(Status s, Text description);

class RuntimeError : public std::exception {
 public:
  RuntimeError(std::int32_t number, Text text);

  std::int32_t number() const noexcept { return number_; }
  const Text& text() const noexcept { return text_; }
  const char* what() const noexcept override { return utf8_.c_str(); }

 private:
  std::int32_t number_;
  Text text_;
  std::string utf8_;
};

// The standard text of a run-time error number the programs raise themselves.
Text standardText(std::int32_t number);

// Raises the run-time error with that number and its standard text.
[[noreturn]] void raiseError(std::int32_t number);
[[noreturn]] void raiseError(std::int32_t number, Text text);

// The run-time error number a status stands for: n for 0x800A00nn, 438 for an
// unknown member, 429 for a class that is not registered, the status otherwise.
std::int32_t errorNumberOf(Status s);

// Turns a failing status into the run-time error; returns the status otherwise.
// The text is the component's description where it left one.
Status check(Status s);

// The message shown for an unhandled error: its number (also in hex when it is
// a component status) and its text.
Text describe(const RuntimeError& e);

}  // namespace rt
