// office_chatty_peer PIPE: a stand-in for the office at the far end of a
// bridge, for the tests of how a connection ends. It accepts one connection
// on the named pipe and offers its own component context as
// "StarOffice.ComponentContext". Handed objects of the client's
// (XInitialization::initialize on that context), it keeps them and lets them
// go one by one: a stream of release messages to the client for seconds,
// as an office sends while it lets go of what a program gave it. It ends
// when the connection goes.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/bridge/XInstanceProvider.hpp>
#include <com/sun/star/connection/Acceptor.hpp>
#include <com/sun/star/container/NoSuchElementException.hpp>
#include <com/sun/star/lang/IllegalArgumentException.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <com/sun/star/lang/XInitialization.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <cppuhelper/implbase2.hxx>
#include <osl/conditn.hxx>

namespace {

namespace uno = css::uno;
using css::lang::EventObject;
using css::lang::XEventListener;


// The context the client gets: the peer's own, and the objects it keeps.
class ChattyContext : public cppu::WeakImplHelper2<uno::XComponentContext, css::lang::XInitialization> {
 public:
  explicit ChattyContext(uno::Reference<uno::XComponentContext> own) : own_(std::move(own)) {}

  uno::Any SAL_CALL getValueByName(const rtl::OUString& name) override { return own_->getValueByName(name); }
  uno::Reference<css::lang::XMultiComponentFactory> SAL_CALL getServiceManager() override {
    return own_->getServiceManager();
  }

  void SAL_CALL initialize(const uno::Sequence<uno::Any>& objects) override {
    auto kept = std::make_shared<std::vector<uno::Reference<uno::XInterface>>>();
    for (const auto& a : objects) {
      uno::Reference<uno::XInterface> object;
      if (!(a >>= object) || !object.is())
        throw css::lang::IllegalArgumentException("objects only", *this, 0);
      kept->push_back(object);
    }
    // Let go of them after this call has returned: one release message
    // each, about every tenth of a millisecond, for seconds.
    std::thread([kept] {
      while (!kept->empty()) {
        kept->pop_back();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }).detach();
  }

 private:
  uno::Reference<uno::XComponentContext> own_;
};

class Provider : public cppu::WeakImplHelper1<css::bridge::XInstanceProvider> {
 public:
  explicit Provider(uno::Reference<uno::XInterface> instance) : instance_(std::move(instance)) {}
  uno::Reference<uno::XInterface> SAL_CALL getInstance(const rtl::OUString& name) override {
    if (name == "StarOffice.ComponentContext") return instance_;
    throw css::container::NoSuchElementException(name, *this);
  }

 private:
  uno::Reference<uno::XInterface> instance_;
};

class Gone : public cppu::WeakImplHelper1<XEventListener> {
 public:
  explicit Gone(osl::Condition& gone) : gone_(gone) {}
  void SAL_CALL disposing(const EventObject&) override { gone_.set(); }

 private:
  osl::Condition& gone_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PIPE\n", argv[0]);
    return 2;
  }
  alarm(120);  // never outlives a test that forgot it
  setenv("URE_BOOTSTRAP", "vnd.sun.star.pathname:" VARDEL_OFFICE_PROGRAM_DIR "/fundamentalrc", 1);
  try {
    auto own = cppu::defaultBootstrap_InitialComponentContext();
    auto link = css::connection::Acceptor::create(own)->accept(
        "pipe,name=" + rtl::OUString::createFromAscii(argv[1]));
    uno::Reference<uno::XInterface> context(static_cast<cppu::OWeakObject*>(new ChattyContext(own)));
    auto bridge = css::bridge::BridgeFactory::create(own)->createBridge("", "urp", link, new Provider(context));
    osl::Condition gone;
    uno::Reference<css::lang::XComponent>(bridge, uno::UNO_QUERY_THROW)->addEventListener(new Gone(gone));
    gone.wait();
  } catch (const uno::Exception& e) {
    std::fprintf(stderr, "peer: %s\n", rtl::OUStringToOString(e.Message, RTL_TEXTENCODING_UTF8).getStr());
    return 1;
  }
  // The releasing thread may still be inside the bridge: leave without
  // tearing down.
  std::_Exit(0);
}
