#include "components/office/uno/interaction.h"

#include <com/sun/star/document/BrokenPackageRequest.hpp>
#include <com/sun/star/document/LockedDocumentRequest.hpp>
#include <com/sun/star/document/NoSuchFilterRequest.hpp>
#include <com/sun/star/document/OwnLockOnDocumentRequest.hpp>
#include <com/sun/star/task/ErrorCodeRequest.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionDisapprove.hpp>
#include <com/sun/star/task/XInteractionRequest.hpp>
#include <com/sun/star/ucb/InteractiveAugmentedIOException.hpp>
#include <com/sun/star/ucb/InteractiveIOException.hpp>
#include <osl/file.hxx>

#include "components/office/uno/ustring.h"

namespace office {

using rtl::OUString;

namespace {

namespace uno = css::uno;
using namespace css::ucb;

// The office appends where in its sources an exception was raised
// ("... at ./sfx2/source/doc/docfile.cxx:1064"); that is not for users.
rt::Text withoutSourceLocation(rt::Text message) {
  const auto at = message.find(u"at ./");
  if (at != rt::Text::npos) message.erase(at);
  while (!message.empty() && (message.back() == u' ' || message.back() == u'\n')) message.pop_back();
  return message;
}

rt::Text ioError(IOErrorCode code, const rt::Text& file) {
  const rt::Text quoted = u"\"" + file + u"\"";
  switch (code) {
    case IOErrorCode_NOT_EXISTING:
    case IOErrorCode_NOT_EXISTING_PATH:
      return quoted + u" does not exist.";
    case IOErrorCode_ACCESS_DENIED:
    case IOErrorCode_CANT_READ:
      return u"Access to " + quoted + u" is denied: it cannot be read.";
    case IOErrorCode_LOCKING_VIOLATION:
      return quoted + u" is locked by another program.";
    case IOErrorCode_NO_FILE:
      return quoted + u" is a folder, not a file.";
    case IOErrorCode_WRONG_FORMAT:
    case IOErrorCode_INVALID_CHARACTER:
      return quoted + u" is not in a format the presentation application can read.";
    case IOErrorCode_DEVICE_NOT_READY:
      return u"The device holding " + quoted + u" is not ready.";
    default:
      return u"General input/output error while reading " + quoted + u".";
  }
}

}  // namespace

rt::Text explainRefusal(const OUString& url, const rt::Text& fileName) {
  osl::DirectoryItem item;
  if (osl::DirectoryItem::get(url, item) != osl::FileBase::E_None)
    return ioError(IOErrorCode_NOT_EXISTING, fileName);
  osl::FileStatus status(osl_FileStatus_Mask_Type);
  if (item.getFileStatus(status) == osl::FileBase::E_None && status.getFileType() == osl::FileStatus::Directory)
    return ioError(IOErrorCode_NO_FILE, fileName);
  osl::File file(url);
  if (file.open(osl_File_OpenFlag_Read) != osl::FileBase::E_None)
    return ioError(IOErrorCode_ACCESS_DENIED, fileName);
  return ioError(IOErrorCode_WRONG_FORMAT, fileName);
}

rt::Text describeRequest(const uno::Any& request, const rt::Text& fileName) {
  const rt::Text quoted = u"\"" + fileName + u"\"";
  css::ucb::InteractiveIOException io;
  if (request >>= io) return ioError(io.Code, fileName);
  css::document::LockedDocumentRequest locked;
  if (request >>= locked) {
    const rt::Text by = locked.UserInfo.isEmpty() ? rt::Text(u"another user") : toText(locked.UserInfo);
    return quoted + u" is locked for editing by " + by + u".";
  }
  css::document::OwnLockOnDocumentRequest ownLock;
  if (request >>= ownLock) {
    const rt::Text since = ownLock.TimeInfo.isEmpty() ? rt::Text() : u" since " + toText(ownLock.TimeInfo);
    return quoted + u" is locked for editing by yourself" + since +
           u": it is open in another office window, or an office ended without closing it.";
  }
  css::document::BrokenPackageRequest broken;
  if (request >>= broken) return quoted + u" is corrupt and cannot be opened.";
  css::document::NoSuchFilterRequest noFilter;
  if (request >>= noFilter) return quoted + u" is not in a format the presentation application can read.";
  uno::Exception other;
  rt::Text words;
  if (request >>= other) words = withoutSourceLocation(toText(other.Message));
  return quoted + u" cannot be opened" +
         (words.empty() ? u" (the office asked: " + toText(request.getValueTypeName()) + u")." : u": " + words);
}

void AbortingInteraction::handle(const uno::Reference<css::task::XInteractionRequest>& request) {
  if (!request.is()) return;
  rt::Text words = describeRequest(request->getRequest(), fileName_);
  {
    std::lock_guard lock(mutex_);
    if (first_.empty()) first_ = std::move(words);
  }
  const auto continuations = request->getContinuations();
  for (const auto& c : continuations) {
    uno::Reference<css::task::XInteractionAbort> abort(c, uno::UNO_QUERY);
    if (abort.is()) return abort->select();
  }
  for (const auto& c : continuations) {
    uno::Reference<css::task::XInteractionDisapprove> no(c, uno::UNO_QUERY);
    if (no.is()) return no->select();
  }
}

rt::Text AbortingInteraction::firstQuestion() const {
  std::lock_guard lock(mutex_);
  return first_;
}

}  // namespace office
