#include "components/office/uno/application.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/io/IOException.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/IllegalArgumentException.hpp>
#include <com/sun/star/task/InteractionHandler.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <cppuhelper/weakref.hxx>
#include <rtl/ref.hxx>

#include "components/office/uno/file_url.h"
#include "components/office/uno/interaction.h"
#include "components/office/uno/office_process.h"
#include "components/office/uno/ustring.h"

namespace office {

using rtl::OUString;

namespace {

namespace uno = css::uno;
namespace frame = css::frame;
using automation::Args;
using automation::MemberTable;
using automation::sameName;
using rt::Status;
using rt::Text;
using rt::Variant;

using Clock = std::chrono::steady_clock;
// How long Quit waits for the office to end after it agreed to.
constexpr auto kQuitWait = std::chrono::seconds(10);
// How long a creation waits for an office of ours that dropped the
// connection made ahead (it restarts itself) before it starts another.
constexpr auto kReconnectWait = std::chrono::seconds(20);

Status officeGone() {
  return rt::fail(rt::status::Fail,
                  u"The presentation application is no longer running (LibreOffice was closed or ended).");
}

// Runs a member's body; nothing the office or a conversion throws crosses
// the component boundary: each becomes a failing status with its words.
template <class Body>
Status guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const rt::RuntimeError& e) {
    return rt::fail(rt::status::fromErrorNumber(e.number()), e.text());
  } catch (const css::lang::DisposedException&) {
    return officeGone();
  } catch (const uno::Exception& e) {
    return rt::fail(rt::status::Fail, u"The presentation application failed: " + toText(e.Message));
  } catch (const std::exception& e) {
    return rt::fail(rt::status::Fail, u"The presentation application failed: " + rt::fromUtf8(e.what()));
  }
}

css::beans::PropertyValue loadArg(const char16_t* name, const uno::Any& value) {
  return css::beans::PropertyValue(OUString(reinterpret_cast<const sal_Unicode*>(name)), -1, value,
                                   css::beans::PropertyState_DIRECT_VALUE);
}

// The window manager shows a frame's title exactly as set.
void setTitle(const uno::Reference<frame::XFrame>& window, const Text& caption) {
  uno::Reference<frame::XTitle> title(window, uno::UNO_QUERY);
  if (title.is()) title->setTitle(toOUString(caption));
}

Status noDisplay() {
  return rt::fail(rt::status::Fail,
                  u"The presentation application cannot be shown: there is no display "
                  u"(neither DISPLAY nor WAYLAND_DISPLAY is set).");
}

// What one application object knows; its collections and presentations
// share it. The program keeps every session until it ends (Office below): the
// last calls on the office, and the end of the connection, run then, within
// the time the end allows.
struct Session {
  Connection connection;
  uno::Reference<frame::XDesktop2> desktop;
  bool visible = false;
  std::optional<Text> caption;

  // A presentation opened here. Weak: the user may close it at any time.
  // Until it is handed over it still holds the aborting handler it was
  // loaded with; that waits for the next call (or the end of the program),
  // so a caption set right after the open reaches the window first.
  struct Opened {
    uno::WeakReference<frame::XFrame> window;
    uno::WeakReference<frame::XModel> document;
    bool handedOver = false;
  };
  // Only ever appended to: a presentation object names its entry by index.
  std::vector<Opened> opened;

  // An office this session started and that holds no document (the open
  // failed, or none was asked for) has no window either: left running it
  // would stay hidden until the user logs out. It is asked to terminate;
  // true when it agreed. An office that was already running, or that shows
  // a document, is the user's and stays.
  bool endIfIdle() {
    if (connection.started <= 0 || !desktop.is()) return false;
    uno::Reference<css::container::XEnumerationAccess> components = desktop->getComponents();
    if (components.is() && components->createEnumeration()->hasMoreElements()) return false;
    try {
      return desktop->terminate();
    } catch (const css::lang::DisposedException&) {
      return true;  // the connection closed as the office ended
    }
  }

  // From now on the office's own handler answers the documents' questions
  // (saving, reloading), with real dialogs: a document keeps its load
  // arguments, and our handler goes away with this program.
  void handOver() {
    for (auto& o : opened) {
      if (o.handedOver) continue;
      o.handedOver = true;
      uno::Reference<frame::XModel> model(o.document);
      if (!model.is()) continue;
      uno::Reference<frame::XController> controller = model->getCurrentController();
      uno::Reference<frame::XFrame> window = controller.is() ? controller->getFrame() : nullptr;
      auto handler = css::task::InteractionHandler::createWithParent(
          connection.context, window.is() ? window->getContainerWindow() : nullptr);
      auto args = model->getArgs();
      bool replaced = false;
      for (sal_Int32 i = 0; i < args.getLength(); ++i) {
        if (args[i].Name == "InteractionHandler") {
          args.getArray()[i].Value <<= uno::Reference<css::task::XInteractionHandler>(handler.get());
          replaced = true;
        }
      }
      if (replaced) model->attachResource(model->getURL(), args);
    }
  }

  std::vector<uno::Reference<frame::XFrame>> liveFrames() {
    std::vector<uno::Reference<frame::XFrame>> live;
    for (const auto& o : opened)
      if (uno::Reference<frame::XFrame> f(o.window); f.is()) live.push_back(f);
    return live;
  }

  // Lets go of everything of the office's and closes the connection. Later
  // calls find the office gone.
  void sever() {
    desktop.clear();
    for (auto& o : opened) o = Opened{};
    connection.close();
  }
};
using SessionRef = std::shared_ptr<Session>;

class Presentation : public MemberTable {
 public:
  Presentation(Text fullName, SessionRef session, std::size_t index)
      : fullName_(std::move(fullName)), session_(std::move(session)), index_(index) {
    property(1, u"FullName", [this](Variant& r) {
      r = fullName_;
      return rt::status::Ok;
    });
    method(2, u"Close", [this](const Args&, Variant&) {
      return guarded([&] {
        uno::Reference<css::util::XCloseable> closeable(
            uno::Reference<frame::XModel>(session_->opened.at(index_).document), uno::UNO_QUERY);
        if (closeable.is()) closeable->close(true);
        return rt::status::Ok;
      });
    });
  }

 private:
  Text fullName_;
  SessionRef session_;
  std::size_t index_;
};

class Presentations : public MemberTable {
 public:
  explicit Presentations(SessionRef session) : session_(std::move(session)) {
    method(1, u"Open", [this](const Args& args, Variant& result) {
      return guarded([&] { return open(args, result); });
    });
  }

 private:
  // Open(FileName, [ReadOnly]): by position or by name.
  Status open(const Args& args, Variant& result) {
    if (args.positional.size() > 2)
      return rt::fail(rt::status::BadParamCount, u"Open takes at most two arguments: FileName and ReadOnly.");
    const Variant* fileName = args.positional.size() > 0 ? &args.positional[0] : nullptr;
    const Variant* readOnly = args.positional.size() > 1 ? &args.positional[1] : nullptr;
    for (const auto& a : args.named) {
      const Variant** slot = sameName(a.name, u"FileName")   ? &fileName
                             : sameName(a.name, u"ReadOnly") ? &readOnly
                                                             : nullptr;
      if (!slot) return rt::fail(rt::status::InvalidArg, u"Open has no argument named \"" + a.name + u"\".");
      if (*slot) return rt::fail(rt::status::InvalidArg, u"Open was given \"" + a.name + u"\" twice.");
      *slot = &a.value;
    }
    if (!fileName)
      return rt::fail(rt::status::ParamNotOptional, u"Open needs the argument FileName.");
    const Text path = fileName->toText();
    // An empty value (an unassigned variable) means "not read-only".
    const bool asReadOnly = readOnly && !readOnly->deref().isEmpty() && readOnly->toBool();

    OUString url;
    Text error;
    if (!fileUrlFromPath(path, url, error)) return rt::fail(rt::status::Fail, error);

    Session& s = *session_;
    if (!s.desktop.is()) return officeGone();
    if (s.visible && !haveDisplay()) return noDisplay();
    s.handOver();
    rtl::Reference<AbortingInteraction> asked(new AbortingInteraction(pathFromFileUrl(url)));
    const css::beans::PropertyValue load[] = {
        loadArg(u"Hidden", uno::Any(!s.visible)),
        loadArg(u"ReadOnly", uno::Any(asReadOnly)),
        loadArg(u"InteractionHandler",
                uno::Any(uno::Reference<css::task::XInteractionHandler>(asked.get())))};
    uno::Reference<frame::XComponentLoader> loader(s.desktop, uno::UNO_QUERY_THROW);
    uno::Reference<css::lang::XComponent> component;
    try {
      component = loader->loadComponentFromURL(url, "_blank", 0, uno::Sequence<css::beans::PropertyValue>(load, 3));
    } catch (const css::lang::IllegalArgumentException&) {
      // Type detection found nothing it can load: explained below.
    } catch (const css::io::IOException&) {
      // The file could not be read: explained below.
    }
    uno::Reference<frame::XModel> model(component, uno::UNO_QUERY);
    if (!model.is()) {
      // The office's reason where it asked something; otherwise find out
      // why it refused the file.
      const Text shown = pathFromFileUrl(url);
      Text words = asked->firstQuestion();
      if (words.empty()) words = explainRefusal(url, shown);
      if (component.is()) {
        uno::Reference<css::util::XCloseable> other(component, uno::UNO_QUERY);
        if (other.is()) other->close(true);
      }
      return rt::fail(rt::status::Fail, words);
    }

    uno::Reference<frame::XFrame> window = model->getCurrentController()->getFrame();
    if (s.caption) setTitle(window, *s.caption);
    s.opened.push_back({window, model, false});
    result = Variant(rt::ObjectRef(std::make_shared<Presentation>(pathFromFileUrl(url), session_, s.opened.size() - 1)));
    return rt::status::Ok;
  }

  SessionRef session_;
};

class Application : public MemberTable {
 public:
  explicit Application(SessionRef session) : session_(std::move(session)) {
    property(
        1, u"Visible",
        [this](Variant& r) {
          r = session_->visible;
          return rt::status::Ok;
        },
        [this](const Variant& v) { return guarded([&] { return setVisible(v.toBool()); }); });
    property(2, u"Presentations", [this](Variant& r) {
      r = Variant(rt::ObjectRef(std::make_shared<Presentations>(session_)));
      return rt::status::Ok;
    });
    property(
        3, u"Caption",
        [this](Variant& r) { return guarded([&] { return caption(r); }); },
        [this](const Variant& v) { return guarded([&] { return setCaption(v.toText()); }); });
    method(4, u"Quit", [this](const Args&, Variant&) { return guarded([&] { return quit(); }); });
  }

 private:
  Status setVisible(bool visible) {
    if (visible && !haveDisplay()) return noDisplay();
    session_->visible = visible;
    for (const auto& f : session_->liveFrames()) {
      auto w = f->getContainerWindow();
      if (w.is()) w->setVisible(visible);
    }
    return rt::status::Ok;
  }

  Status caption(Variant& r) {
    if (session_->caption) {
      r = *session_->caption;
      return rt::status::Ok;
    }
    auto live = session_->liveFrames();
    uno::Reference<frame::XTitle> title(live.empty() ? nullptr : live.back(), uno::UNO_QUERY);
    r = title.is() ? toText(title->getTitle()) : Text(u"LibreOffice Impress");
    return rt::status::Ok;
  }

  // The caption is the title of the presentations' windows: set now on
  // those open, and on every one opened later.
  Status setCaption(const Text& caption) {
    session_->caption = caption;
    for (const auto& f : session_->liveFrames()) setTitle(f, caption);
    session_->handOver();
    return rt::status::Ok;
  }

  Status quit() {
    Session& s = *session_;
    if (!s.desktop.is()) return rt::status::Ok;  // quit before: nothing left to quit
    try {
      s.handOver();
    } catch (const css::lang::DisposedException&) {
      return rt::status::Ok;  // already gone: nothing to quit
    }
    // A document with unsaved changes refuses: ask nothing, lose nothing.
    try {
      auto all = s.desktop->getComponents()->createEnumeration();
      while (all->hasMoreElements()) {
        uno::Reference<css::util::XModifiable> doc(all->nextElement(), uno::UNO_QUERY);
        if (!doc.is() || !doc->isModified()) continue;
        uno::Reference<frame::XTitle> title(doc, uno::UNO_QUERY);
        const Text name = title.is() ? toText(title->getTitle()) : Text(u"A document");
        return rt::fail(rt::status::Fail, u"The presentation application cannot quit: \"" + name +
                                              u"\" has unsaved changes. Save or close it first.");
      }
    } catch (const css::lang::DisposedException&) {
      return rt::status::Ok;  // already gone: nothing to quit
    }
    bool terminated = false;
    try {
      terminated = s.desktop->terminate();
    } catch (const css::lang::DisposedException&) {
      terminated = true;  // the connection closed as the office ended
    }
    if (!terminated)
      return rt::fail(rt::status::Fail,
                      u"The presentation application refused to quit (a document or an extension "
                      u"is still busy).");
    s.desktop.clear();
    for (auto& o : s.opened) o = Session::Opened{};
    if (s.connection.started > 0) {
      if (!awaitExit(s.connection.started, Clock::now() + kQuitWait))
        return rt::fail(rt::status::Fail,
                        u"The presentation application was asked to quit but is still running "
                        u"after 10 seconds.");
      s.connection.started = -1;  // reaped: nothing of ours to end any more
    }
    return rt::status::Ok;
  }

  SessionRef session_;
};

}  // namespace

namespace {

Status noDesktop(const uno::Exception& e) {
  return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                  u"Cannot start the presentation application: LibreOffice answered but has no "
                  u"desktop (" + toText(e.Message) + u").");
}

// The office as this program knows it: the connection made ahead of the
// first creation (the warm-up), and every session, kept until the program
// ends. Never destroyed: after shutdown it holds nothing, and without one
// nothing of it may run while the process exits.
class Office {
 public:
  static Office& instance() {
    static Office* office = new Office;
    return *office;
  }

  void warmUp() {
    {
      std::lock_guard lock(mutex_);
      if (ending_ || warming_ || warmed_) return;
      warming_ = true;
    }
    Connection connection;
    if (rt::failed(connectToOffice(connection, &control_)))
      rt::clearErrorInfo();  // a creation tries again and says why itself
    {
      std::lock_guard lock(mutex_);
      warming_ = false;
      warmed_ = true;
      warm_ = std::move(connection);
    }
    changed_.notify_all();
  }

  Status create(automation::DispatchRef& application) {
    auto session = std::make_shared<Session>();
    {
      // A warm-up under way is waited for, not doubled by a second office.
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return !warming_; });
      if (ending_)
        return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                        u"Cannot start the presentation application: the program is ending.");
      session->connection = std::move(warm_);
    }
    // The office made ready may have dropped the connection since: one of
    // ours that restarted itself is taken up again, else it starts anew.
    if (!session->connection.alive() &&
        !reconnectToOwnOffice(session->connection, Clock::now() + kReconnectWait)) {
      if (const Status s = connectToOffice(session->connection); rt::failed(s)) return s;
    }
    {
      std::lock_guard lock(mutex_);
      sessions_.push_back(session);
    }
    try {
      session->desktop = frame::Desktop::create(session->connection.context);
    } catch (const uno::Exception& e) {
      return noDesktop(e);
    }
    application = std::make_shared<Application>(std::move(session));
    return rt::status::Ok;
  }

  void shutdown(std::chrono::milliseconds within) {
    const auto begun = Clock::now();
    std::vector<SessionRef> sessions;
    {
      // A warm-up still waiting for a starting office gives up halfway, and
      // ends that office.
      std::unique_lock lock(mutex_);
      ending_ = true;
      control_.giveUpAt(begun + within / 2);
      changed_.wait(lock, [&] { return !warming_; });
      sessions = std::move(sessions_);
      // A connection made ahead and never used ends like a session that
      // opened nothing; an office of ours that dropped it is taken up again
      // for that.
      if (warm_.alive() || warm_.started > 0) {
        auto unused = std::make_shared<Session>();
        unused->connection = std::move(warm_);
        sessions.push_back(std::move(unused));
      }
    }
    for (const auto& s : sessions)
      if (!s->connection.alive() && s->connection.started > 0)
        reconnectToOwnOffice(s->connection, begun + within / 2);
    {
      // Offices started here that show nothing are ended: asked first, by
      // signal at three quarters of the time if they have not gone by then.
      // One in which nothing was opened is watched before any call on it, so
      // that an office that stopped answering cannot hold the end up.
      OfficeEnding ending(begun + within * 3 / 4, within / 8);
      for (const auto& s : sessions)
        if (s->opened.empty()) ending.watch(s->connection.started);
      for (const auto& s : sessions) {
        const pid_t started = s->connection.started;
        try {
          // Only an office of ours may be ended, and that needs its desktop.
          if (!s->desktop.is() && started > 0 && s->connection.alive())
            s->desktop = frame::Desktop::create(s->connection.context);
          s->handOver();
          if (s->endIfIdle())
            ending.watch(started);
          else
            ending.keep(started);
        } catch (const uno::Exception&) {
          // The office is gone, or went as it was ended.
        }
        s->sever();
      }
    }
    endUnoRuntime(begun + within);
  }

 private:
  Office() = default;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool warming_ = false;
  bool warmed_ = false;
  bool ending_ = false;
  ConnectControl control_;
  Connection warm_;
  std::vector<SessionRef> sessions_;
};

}  // namespace

Status createApplication(automation::DispatchRef& application) {
  return Office::instance().create(application);
}

void warmUp() { Office::instance().warmUp(); }

void shutdown(std::chrono::milliseconds within) { Office::instance().shutdown(within); }

}  // namespace office
