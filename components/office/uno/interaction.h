// The interaction handler a document is loaded with: it answers every
// question the office would ask with "abort" and records what was asked, so a
// failed load comes back at once with the office's reason instead of waiting
// behind a modal dialog.
#pragma once

#include <mutex>

#include <com/sun/star/task/XInteractionHandler.hpp>
#include <cppuhelper/implbase1.hxx>

#include "runtime/text.h"

namespace office {

class AbortingInteraction : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
 public:
  // `fileName`: how the document is named in the words recorded.
  explicit AbortingInteraction(rt::Text fileName) : fileName_(std::move(fileName)) {}

  void SAL_CALL handle(const css::uno::Reference<css::task::XInteractionRequest>& request) override;

  // What the office asked first, in words; empty when it asked nothing.
  rt::Text firstQuestion() const;

 private:
  rt::Text fileName_;
  mutable std::mutex mutex_;
  rt::Text first_;
};

// Words for what a load request raises, naming the file as `fileName`.
rt::Text describeRequest(const css::uno::Any& request, const rt::Text& fileName);

// Why a file the office refused without asking anything cannot be opened:
// a missing file, a folder, an unreadable file, or an unknown format.
rt::Text explainRefusal(const rtl::OUString& url, const rt::Text& fileName);

}  // namespace office
