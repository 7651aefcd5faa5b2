// How a connection to the office ends, against a stand-in for the office
// (office_chatty_peer) that keeps sending release messages while this
// process ends, as an office does while it lets go of what a program gave it:
// closing the connection and ending the UNO runtime leave none of the
// bridge's threads running, also after the far end died while a call waited
// for it, and the process then leaves with status 0. A process that left
// while the bridge still read messages tore the type library down under the
// reader: a crash at exit, now and then. Each case runs in a child process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <com/sun/star/lang/XInitialization.hpp>
#include <cppuhelper/implbase1.hxx>
#include <rtl/ref.hxx>

#include "components/office/tests/process_state.h"
#include "components/office/uno/office_process.h"

namespace {

namespace uno = css::uno;
using namespace std::chrono_literals;
using office::testing::threadNames;
using office::testing::waitFor;

// Whether a process has stopped (SIGSTOP takes effect a moment after kill).
bool stopped(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T';
}

// An object of this process's that the peer holds until it lets it go.
class Given : public cppu::WeakImplHelper1<css::lang::XEventListener> {
 public:
  explicit Given(std::atomic<long>& released) : released_(released) {}
  ~Given() override { ++released_; }
  void SAL_CALL disposing(const css::lang::EventObject&) override {}

 private:
  std::atomic<long>& released_;
};

// Enough objects that letting them go keeps the peer sending for seconds.
constexpr long kGiven = 40000;

[[noreturn]] void failWith(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::_Exit(3);
}

class OfficeBridgeEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // Forked at the statement: this process has no thread of UNO's yet.
    GTEST_FLAG_SET(death_test_style, "fast");
    pipe_ = "vardel_bridge_end_" + std::to_string(getpid());
    std::vector<char*> argv = {const_cast<char*>(VARDEL_CHATTY_PEER), pipe_.data(), nullptr};
    ASSERT_EQ(posix_spawn(&peer_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  }
  void TearDown() override {
    kill(peer_, SIGKILL);
    waitpid(peer_, nullptr, 0);
  }

  // In the child: connects to the peer and hands it kGiven objects; returns
  // once the peer's releases are flowing.
  office::Connection connectAndGive() {
    alarm(60);  // a hang fails the case instead of the whole run
    office::Connection connection;
    std::string refusal;
    if (!waitFor([&] { return office::connectToPipe(pipe_, connection, refusal); }, 20s))
      failWith("no connection to the peer: " + refusal);
    uno::Reference<css::lang::XInitialization> peer(connection.context, uno::UNO_QUERY);
    if (!peer.is()) failWith("the peer takes no objects");
    {
      uno::Sequence<uno::Any> objects(kGiven);
      for (auto& o : objects)
        o <<= uno::Reference<css::lang::XEventListener>(new Given(released_));
      peer->initialize(objects);
    }
    if (!waitFor([&] { return released_ > 100; }, 20s)) failWith("the peer lets nothing go");
    return connection;
  }

  // In the child: what a program does at its end, while the peer still
  // sends, then leaving as main does.
  [[noreturn]] void endAndLeave(office::Connection& connection, const std::vector<std::string>& before) {
    connection.close();
    // Far less than the peer goes on sending: the threads must end because
    // the connection was closed, not because the peer was done.
    office::endUnoRuntime(std::chrono::steady_clock::now() + 1s);
    const auto after = threadNames();
    if (after != before) {
      std::string left;
      for (const auto& n : after) left += " " + n;
      failWith("threads still running after the end:" + left);
    }
    std::exit(0);  // destructors and the libraries' finalisers run, as after main
  }

  std::atomic<long> released_{0};
  std::string pipe_;
  pid_t peer_ = -1;
};

TEST_F(OfficeBridgeEnd, NoBridgeThreadIsLeftWhileThePeerKeepsSendingAndTheStatusIsZero) {
  EXPECT_EXIT(
      {
        const auto before = threadNames();
        office::Connection connection = connectAndGive();
        if (threadNames().size() <= before.size()) failWith("the bridge started no threads");
        if (released_ >= kGiven) failWith("the peer had finished: nothing crossed the end");
        endAndLeave(connection, before);
      },
      ::testing::ExitedWithCode(0), "");
}

// What the end of a program does with an office of its own that stopped
// answering: it ends it, and a call still waiting for it fails.
TEST_F(OfficeBridgeEnd, APeerEndedWhileACallWaitsForItLeavesNoThreadAndTheStatusIsZero) {
  EXPECT_EXIT(
      {
        const auto before = threadNames();
        office::Connection connection = connectAndGive();
        uno::Reference<uno::XComponentContext> context = connection.context;
        kill(peer_, SIGSTOP);
        if (!waitFor([&] { return stopped(peer_); }, 20s)) failWith("the peer did not stop");
        std::atomic<bool> answered{false};
        std::thread caller([&] {
          try {
            context->getServiceManager();
          } catch (const css::lang::DisposedException&) {
          }
          answered = true;
        });
        std::this_thread::sleep_for(200ms);
        if (answered) failWith("the stopped peer answered");
        // What this process writes to the office from now on goes nowhere:
        // that must fail the write, not end the process.
        struct sigaction pipe {};
        sigaction(SIGPIPE, nullptr, &pipe);
        if (pipe.sa_handler != SIG_IGN) failWith("a write to an office that went would end the program");
        kill(peer_, SIGKILL);
        caller.join();
        if (!waitFor([&] { return !connection.alive(); }, 20s)) failWith("the connection outlived the peer");
        context.clear();
        endAndLeave(connection, before);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
