#include "components/encoder/engine/sources/screencast_portal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string_view>
#include <vector>

#include <systemd/sd-bus.h>

namespace encoder::engine::portal {

namespace {

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kObject = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

// The portal's numbers: source types and cursor modes are bit masks.
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;
// persist_mode and restore_token exist from this interface version on.
constexpr std::uint32_t kPersistVersion = 4;

constexpr std::string_view kCannot = "Cannot record the screen: ";

rt::Text cannot(const std::string& why) { return rt::fromUtf8(std::string(kCannot) + why); }

std::uint64_t usec(std::chrono::milliseconds ms) { return static_cast<std::uint64_t>(ms.count()) * 1000u; }

std::string seconds(std::chrono::milliseconds ms) {
  const auto s = (ms.count() + 999) / 1000;
  return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

struct BusError {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&e); }
  bool is(const char* name) const { return sd_bus_error_has_name(&e, name) != 0; }
  std::string text() const {
    if (e.message != nullptr && *e.message != '\0') return e.message;
    return e.name != nullptr ? e.name : "unknown error";
  }
};

struct Message {
  sd_bus_message* m = nullptr;
  Message() = default;
  explicit Message(sd_bus_message* msg) : m(msg) {}
  ~Message() { sd_bus_message_unref(m); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

struct Slot {
  sd_bus_slot* s = nullptr;
  ~Slot() { sd_bus_slot_unref(s); }
};

// Reads the a{sv} at the message's read position: `onEntry(key, type)` is
// given each key and its value's signature and reads the value itself
// (returning true) or leaves it to be skipped.
int readVardict(sd_bus_message* m, const std::function<bool(const std::string&, const std::string&)>& onEntry) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r <= 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    char type = 0;
    const char* contents = nullptr;
    if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
    const std::string k = key, sig = contents != nullptr ? contents : "";
    if (!onEntry(k, sig) && (r = sd_bus_message_skip(m, "v")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// An option for a request: a{sv} entries appended one by one.
struct Option {
  std::string key;
  char type;  // 's', 'u', 'b' or 'o'
  std::string s;
  std::uint32_t u = 0;
};

int appendOptions(sd_bus_message* m, const std::vector<Option>& options) {
  int r = sd_bus_message_open_container(m, 'a', "{sv}");
  for (const auto& o : options) {
    if (r < 0) return r;
    r = sd_bus_message_open_container(m, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append(m, "s", o.key.c_str());
    if (r >= 0) {
      switch (o.type) {
        case 's': r = sd_bus_message_append(m, "v", "s", o.s.c_str()); break;
        case 'o': r = sd_bus_message_append(m, "v", "o", o.s.c_str()); break;
        case 'b': r = sd_bus_message_append(m, "v", "b", static_cast<int>(o.u != 0)); break;
        default: r = sd_bus_message_append(m, "v", "u", o.u); break;
      }
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r < 0) return r;
  return sd_bus_message_close_container(m);
}

}  // namespace

// The steps of one conversation with the portal.
struct Conversation {
  ScreenCast& cast;
  Deadlines deadlines;
  std::string sender;  // our unique name as the portal spells it in object paths
  unsigned counter = 0;
  rt::Text& error;

  struct Answer {
    bool arrived = false;
    std::uint32_t response = 0;
    sd_bus_message* results = nullptr;  // read position at the results
    ~Answer() { sd_bus_message_unref(results); }
  };

  static int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* a = static_cast<Answer*>(userdata);
    std::uint32_t response = 0;
    if (a->arrived || sd_bus_message_read(m, "u", &response) < 0) return 0;
    a->arrived = true;
    a->response = response;
    a->results = sd_bus_message_ref(m);
    return 0;
  }

  std::string token() { return "vardel" + std::to_string(getpid()) + "_" + std::to_string(++counter); }

  // The words for a failed method call.
  rt::Text callFailure(const char* method, const BusError& e) {
    if (e.is(SD_BUS_ERROR_SERVICE_UNKNOWN) || e.is(SD_BUS_ERROR_NAME_HAS_NO_OWNER))
      return cannot(
          "no desktop portal is running on the session bus (the service org.freedesktop.portal.Desktop is "
          "missing); install xdg-desktop-portal and the portal backend for your desktop.");
    if (e.is(SD_BUS_ERROR_UNKNOWN_METHOD) || e.is(SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
        e.is(SD_BUS_ERROR_UNKNOWN_OBJECT) || e.is(SD_BUS_ERROR_UNKNOWN_PROPERTY))
      return noScreenCast();
    if (e.is(SD_BUS_ERROR_NO_REPLY) || e.is(SD_BUS_ERROR_TIMEOUT))
      return cannot("the desktop portal did not answer " + std::string(method) + " within " +
                    seconds(deadlines.call) + ".");
    if (e.is(SD_BUS_ERROR_ACCESS_DENIED))
      return cannot("the desktop portal refused to share the screen (" + e.text() + ").");
    return cannot("the desktop portal failed " + std::string(method) + " (" + e.text() + ").");
  }

  static rt::Text noScreenCast() {
    return cannot(
        "the desktop portal offers no screen casting (org.freedesktop.portal.ScreenCast); install the portal "
        "backend for your desktop (xdg-desktop-portal-gnome, -kde or -wlr).");
  }

  // Makes one portal request and waits for its Response until `deadline`.
  // `build` appends the arguments before the options; `options` gets the
  // handle_token added. False with `error` set when no answer came.
  bool request(const char* method, const std::function<int(sd_bus_message*)>& build, std::vector<Option> options,
               std::chrono::milliseconds wait, Answer& answer) {
    const std::string tok = token();
    const std::string expected = std::string(kObject) + "/request/" + sender + "/" + tok;
    Slot match, match2;
    if (sd_bus_match_signal(cast.bus_, &match.s, nullptr, expected.c_str(), kRequest, "Response", onResponse,
                            &answer) < 0) {
      error = cannot("the session bus refused to deliver the desktop portal's answers.");
      return false;
    }
    options.push_back({"handle_token", 's', tok});
    Message call;
    int r = sd_bus_message_new_method_call(cast.bus_, &call.m, kService, kObject, kScreenCast, method);
    if (r >= 0) r = build(call.m);
    if (r >= 0) r = appendOptions(call.m, options);
    if (r < 0) {
      error = cannot("cannot compose the request " + std::string(method) + " (" + std::strerror(-r) + ").");
      return false;
    }
    BusError e;
    Message reply;
    if (sd_bus_call(cast.bus_, call.m, usec(deadlines.call), &e.e, &reply.m) < 0) {
      error = callFailure(method, e);
      return false;
    }
    const char* handle = nullptr;
    if (sd_bus_message_read(reply.m, "o", &handle) < 0) {
      error = cannot("the desktop portal answered " + std::string(method) + " with something unexpected.");
      return false;
    }
    // Portals older than the handle_token convention choose their own path.
    if (expected != handle &&
        sd_bus_match_signal(cast.bus_, &match2.s, nullptr, handle, kRequest, "Response", onResponse, &answer) < 0) {
      error = cannot("the session bus refused to deliver the desktop portal's answers.");
      return false;
    }
    const std::string requestPath = handle;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!answer.arrived) {
      r = sd_bus_process(cast.bus_, nullptr);
      if (r < 0) {
        error = cannot("the connection to the session bus was lost while waiting for the desktop portal.");
        return false;
      }
      if (r > 0) continue;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        // Withdraw the request, so a dialog still open does not outlive us.
        sd_bus_message* close = nullptr;
        if (sd_bus_message_new_method_call(cast.bus_, &close, kService, requestPath.c_str(), kRequest, "Close") >= 0) {
          sd_bus_message_set_expect_reply(close, 0);
          sd_bus_send(cast.bus_, close, nullptr);
          sd_bus_message_unref(close);
          sd_bus_flush(cast.bus_);
        }
        error = cannot("the desktop portal gave no answer to " + std::string(method) + " within " + seconds(wait) +
                       (wait > deadlines.call ? " (nobody allowed or refused the recording in time)." : "."));
        return false;
      }
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
      if (sd_bus_wait(cast.bus_, static_cast<std::uint64_t>(left)) < 0 && errno != EINTR) {
        error = cannot("the connection to the session bus was lost while waiting for the desktop portal.");
        return false;
      }
    }
    if (answer.response == 1) {
      error = cannot("the request to share the screen was refused or cancelled.");
      return false;
    }
    if (answer.response != 0) {
      error = cannot("the desktop portal ended the request " + std::string(method) +
                     " with an error (response " + std::to_string(answer.response) + ").");
      return false;
    }
    return true;
  }

  static int onSessionClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* c = static_cast<ScreenCast*>(userdata);
    c->closedByPortal_ = true;
    c->closedWhy_ = u"the desktop portal closed the screen-cast session";
    return 0;
  }

  // One attempt with or without a restore token. `tokenRefused` is set when
  // the portal ended Start with an error while a token was offered.
  bool attempt(std::uint32_t version, std::uint32_t cursorMode, const std::string& restoreToken,
               bool& tokenRefused, std::string& newToken) {
    // CreateSession
    Answer created;
    const std::string sessionToken = token();
    if (!request("CreateSession", [](sd_bus_message*) { return 0; }, {{"session_handle_token", 's', sessionToken}},
                 deadlines.call, created))
      return false;
    std::string session = std::string(kObject) + "/session/" + sender + "/" + sessionToken;
    readVardict(created.results, [&](const std::string& key, const std::string& type) {
      if (key != "session_handle" || (type != "s" && type != "o")) return false;
      const char* v = nullptr;
      if (sd_bus_message_read(created.results, "v", type.c_str(), &v) < 0 || v == nullptr) return false;
      session = v;
      return true;
    });
    cast.sessionHandle_ = session;
    sd_bus_slot* closed = nullptr;
    if (sd_bus_match_signal(cast.bus_, &closed, nullptr, session.c_str(), kSession, "Closed", onSessionClosed,
                            &cast) >= 0)
      cast.closedSlot_ = closed;

    auto withSession = [&](sd_bus_message* m) { return sd_bus_message_append(m, "o", session.c_str()); };

    // SelectSources: one monitor, the pointer drawn in when the portal can.
    std::vector<Option> select = {{"types", 'u', {}, kSourceMonitor}, {"multiple", 'b', {}, 0}};
    if (cursorMode != 0) select.push_back({"cursor_mode", 'u', {}, cursorMode});
    if (version >= kPersistVersion) {
      select.push_back({"persist_mode", 'u', {}, kPersistUntilRevoked});
      if (!restoreToken.empty()) select.push_back({"restore_token", 's', restoreToken});
    }
    Answer selected;
    if (!request("SelectSources", withSession, select, deadlines.call, selected)) return false;

    // Start: here the portal may ask the user.
    Answer started;
    if (!request("Start",
                 [&](sd_bus_message* m) { return sd_bus_message_append(m, "os", session.c_str(), ""); }, {},
                 deadlines.userAnswer, started)) {
      tokenRefused = !restoreToken.empty() && started.arrived && started.response == 2;
      return false;
    }
    bool haveStream = false;
    readVardict(started.results, [&](const std::string& key, const std::string& type) {
      if (key == "restore_token" && type == "s") {
        const char* v = nullptr;
        if (sd_bus_message_read(started.results, "v", "s", &v) < 0 || v == nullptr) return false;
        newToken = v;
        return true;
      }
      if (key != "streams" || type != "a(ua{sv})") return false;
      sd_bus_message* m = started.results;
      if (sd_bus_message_enter_container(m, 'v', "a(ua{sv})") <= 0) return false;
      if (sd_bus_message_enter_container(m, 'a', "(ua{sv})") > 0) {
        while (sd_bus_message_enter_container(m, 'r', "ua{sv}") > 0) {
          std::uint32_t node = 0;
          int w = 0, h = 0;
          sd_bus_message_read(m, "u", &node);
          readVardict(m, [&](const std::string& k, const std::string& t) {
            if (k != "size" || t != "(ii)") return false;
            return sd_bus_message_read(m, "v", "(ii)", &w, &h) >= 0;
          });
          sd_bus_message_exit_container(m);
          if (!haveStream) {  // one monitor was asked for: the first stream is it
            haveStream = true;
            cast.nodeId_ = node;
            cast.width_ = w > 0 ? w : 0;
            cast.height_ = h > 0 ? h : 0;
          }
        }
        sd_bus_message_exit_container(m);
      }
      sd_bus_message_exit_container(m);
      return true;
    });
    if (!haveStream) {
      error = cannot("the desktop portal allowed the recording but offered no screen to record.");
      return false;
    }
    // The user's choice is kept from here on, even if PipeWire fails below:
    // the permission stands, and a retry should not ask again.
    if (version >= kPersistVersion && newToken != restoreToken && !saveRestoreToken(newToken))
      std::fprintf(stderr, "Grabvid: could not keep the screen-cast permission in %s; the desktop will ask again.\n",
                   restoreTokenPath().c_str());

    // OpenPipeWireRemote: the connection the picture comes through.
    BusError e;
    Message reply;
    Message call;
    int r = sd_bus_message_new_method_call(cast.bus_, &call.m, kService, kObject, kScreenCast, "OpenPipeWireRemote");
    if (r >= 0) r = withSession(call.m);
    if (r >= 0) r = appendOptions(call.m, {});
    if (r < 0 || sd_bus_call(cast.bus_, call.m, usec(deadlines.call), &e.e, &reply.m) < 0) {
      error = r < 0 ? cannot("cannot compose the request OpenPipeWireRemote.")
                    : cannot("the desktop portal could not open the connection to PipeWire (" + e.text() + ").");
      return false;
    }
    int fd = -1;
    if (sd_bus_message_read(reply.m, "h", &fd) < 0 || fd < 0 ||
        (cast.pipewireFd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) {
      error = cannot("the desktop portal handed over no connection to PipeWire.");
      return false;
    }
    return true;
  }

  // Ends the current session (a failed attempt's, before the next one).
  void closeSession() {
    if (cast.closedSlot_ != nullptr) cast.closedSlot_ = sd_bus_slot_unref(static_cast<sd_bus_slot*>(cast.closedSlot_));
    if (cast.sessionHandle_.empty()) return;
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(cast.bus_, &m, kService, cast.sessionHandle_.c_str(), kSession, "Close") >= 0) {
      sd_bus_message_set_expect_reply(m, 0);
      sd_bus_send(cast.bus_, m, nullptr);
      sd_bus_message_unref(m);
      sd_bus_flush(cast.bus_);
    }
    cast.sessionHandle_.clear();
  }
};

std::unique_ptr<ScreenCast> ScreenCast::start(const Deadlines& deadlines, rt::Text& error) {
  std::unique_ptr<ScreenCast> cast(new ScreenCast);
  if (sd_bus_open_user(&cast->bus_) < 0) {
    cast->bus_ = nullptr;
    error = cannot(
        "no D-Bus session bus is available (DBUS_SESSION_BUS_ADDRESS is not set and there is no bus in "
        "XDG_RUNTIME_DIR), so the desktop portal cannot be asked.");
    return nullptr;
  }
  sd_bus_set_method_call_timeout(cast->bus_, usec(deadlines.call));
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(cast->bus_, &unique) < 0 || unique == nullptr) {
    error = cannot("the D-Bus session bus does not answer.");
    return nullptr;
  }
  Conversation c{*cast, deadlines, {}, 0, error};
  for (const char* p = unique[0] == ':' ? unique + 1 : unique; *p != '\0'; ++p) c.sender += *p == '.' ? '_' : *p;

  // The interface's version decides which options it understands; its
  // absence means the portal cannot cast at all.
  std::uint32_t version = 0;
  {
    BusError e;
    if (sd_bus_get_property_trivial(cast->bus_, kService, kObject, kScreenCast, "version", &e.e, 'u', &version) < 0) {
      error = e.is(SD_BUS_ERROR_INVALID_ARGS) ? Conversation::noScreenCast() : c.callFailure("the version question", e);
      return nullptr;
    }
  }
  std::uint32_t sources = kSourceMonitor, cursors = 0;
  {
    BusError e;
    if (sd_bus_get_property_trivial(cast->bus_, kService, kObject, kScreenCast, "AvailableSourceTypes", &e.e, 'u',
                                    &sources) < 0)
      sources = kSourceMonitor;
  }
  if ((sources & kSourceMonitor) == 0) {
    error = cannot("the desktop portal can share windows only, not a whole screen.");
    return nullptr;
  }
  {
    BusError e;
    if (sd_bus_get_property_trivial(cast->bus_, kService, kObject, kScreenCast, "AvailableCursorModes", &e.e, 'u',
                                    &cursors) < 0)
      cursors = 0;
  }
  const std::uint32_t cursorMode = (cursors & kCursorEmbedded) != 0 ? kCursorEmbedded
                                   : (cursors & kCursorHidden) != 0 ? kCursorHidden
                                                                    : 0;

  const std::string stored = version >= kPersistVersion ? loadRestoreToken() : std::string();
  bool tokenRefused = false;
  std::string newToken;
  bool ok = c.attempt(version, cursorMode, stored, tokenRefused, newToken);
  if (!ok && tokenRefused) {
    // The portal would not restore the earlier choice: forget it and ask.
    c.closeSession();
    saveRestoreToken("");
    error.clear();
    tokenRefused = false;
    ok = c.attempt(version, cursorMode, "", tokenRefused, newToken);
  }
  if (!ok) {
    c.closeSession();
    return nullptr;
  }
  return cast;
}

ScreenCast::~ScreenCast() {
  if (pipewireFd_ >= 0) close(pipewireFd_);
  if (bus_ == nullptr) return;
  if (!closedByPortal_ && !sessionHandle_.empty()) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(bus_, &m, kService, sessionHandle_.c_str(), kSession, "Close") >= 0) {
      sd_bus_message_set_expect_reply(m, 0);
      sd_bus_send(bus_, m, nullptr);
      sd_bus_message_unref(m);
    }
  }
  sd_bus_slot_unref(static_cast<sd_bus_slot*>(closedSlot_));
  // Writes what is queued (the Close), then lets the connection go.
  sd_bus_flush_close_unref(bus_);
}

int ScreenCast::takePipeWireFd() {
  const int fd = pipewireFd_;
  pipewireFd_ = -1;
  return fd;
}

bool ScreenCast::stillOpen(rt::Text& why) {
  if (closedByPortal_) {
    why = closedWhy_;
    return false;
  }
  int r = 0;
  while ((r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  if (r < 0) {
    closedByPortal_ = true;
    closedWhy_ = u"the connection to the desktop portal was lost";
  }
  if (closedByPortal_) why = closedWhy_;
  return !closedByPortal_;
}

std::string restoreTokenPath() {
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && x[0] == '/') {
    base = x;
  } else if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/') {
    base = std::string(h) + "/.config";
  } else {
    return {};
  }
  return base + "/vardel/grabvid-screencast-token";
}

std::string loadRestoreToken() {
  const std::string path = restoreTokenPath();
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  std::string token;
  if (!in || !std::getline(in, token)) return {};
  // A token is a short printable word; anything else is not ours.
  if (token.size() > 512) return {};
  for (char ch : token)
    if (static_cast<unsigned char>(ch) < 0x21 || static_cast<unsigned char>(ch) > 0x7e) return {};
  return token;
}

bool saveRestoreToken(const std::string& token) {
  const std::string path = restoreTokenPath();
  if (path.empty()) return false;
  const std::string folder = path.substr(0, path.rfind('/'));
  if (token.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
  const std::string config = folder.substr(0, folder.rfind('/'));
  if (mkdir(config.c_str(), 0700) != 0 && errno != EEXIST) return false;
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  chmod(folder.c_str(), 0700);
  std::string tmp = path + ".XXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);  // created 0600
  if (fd < 0) return false;
  const std::string content = token + "\n";
  bool ok = fchmod(fd, 0600) == 0 && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
            fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

}  // namespace encoder::engine::portal
