// "PowerPoint.Application" on Linux: the presentation application served by
// LibreOffice Impress. Members: "Visible" (put/get), "Presentations" (get; a
// collection whose "Open" takes "FileName" and "ReadOnly"), "Caption"
// (put/get: the title of the presentation's window), "Quit".
//
// The office is driven through a module loaded on first creation, so a
// program that links this still starts where no office is installed; creating
// the object then fails with error 429 and a description that says why.
#pragma once

#include <chrono>

namespace office {

inline constexpr char16_t kProgId[] = u"PowerPoint.Application";

// Registers the component under kProgId for the life of the program.
void registerPowerPoint();

// Gets the office ready in the background, so that the first creation finds
// it running and connected: loads the module, starts the office invisibly
// (no window, no splash) where none runs for this user, and connects. A
// creation while this is under way waits for it instead of starting a
// second office. Returns at once; does nothing where no office is installed
// (creation then says why, as without it).
void warmUp();

// The end of a program that used the component: call it once, after the
// program has released every object it holds, before leaving main. A warm-up
// still under way gives up, an office this program started that shows no
// document is ended, every connection to the office is closed and its
// threads are gone when this returns; offices showing documents stay. Takes
// about `within` at most unless the office stops answering: the caller
// bounds it (rt::endWithin).
void shutdown(std::chrono::milliseconds within);

}  // namespace office
