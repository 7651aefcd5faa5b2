#!/usr/bin/python3
"""A recording fake of the desktop's ScreenCast portal for the portal source's
tests. It owns org.freedesktop.portal.Desktop on the (private) session bus it
is started on, answers as told by --mode, and writes every call it gets, with
its options, as one JSON line to --log.

  fake_screencast_portal.py --log FILE [--mode MODE] [--node N] [--pipewire SOCKET]
                            [--version V] [--cursor-modes MASK] [--width W --height H]
                            [--known-token T] [--stale-token ask|refuse]

Modes:
  normal         every request succeeds; Start grants --node, OpenPipeWireRemote
                 hands out a connection to the PipeWire socket --pipewire
  refuse         Start answers 1 (the user refused)
  error          Start answers 2 (another failure)
  silent         Start never answers
  no-screencast  the service runs without the ScreenCast interface
  no-remote      OpenPipeWireRemote fails with an error
  dead-pipewire  OpenPipeWireRemote hands out a socket nobody listens on
A restore token other than --known-token is stale: with --stale-token ask the
"dialog" is shown again (a new token comes back), with refuse Start answers 2.
SIGUSR1 makes the portal close every open session (Session.Closed).
Prints "ready" once the name is owned.
"""
import argparse
import json
import signal
import socket
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

DESKTOP = "/org/freedesktop/portal/desktop"
SCREENCAST = "org.freedesktop.portal.ScreenCast"


def plain(v):
    """D-Bus values as JSON ones."""
    if isinstance(v, (dbus.Boolean,)):
        return bool(v)
    if isinstance(v, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16, dbus.UInt32, dbus.UInt64)):
        return int(v)
    if isinstance(v, dbus.Dictionary):
        return {str(k): plain(x) for k, x in v.items()}
    if isinstance(v, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(x) for x in v]
    return str(v)


class Portal(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, DESKTOP)
        self.bus = bus
        self.args = args
        self.sessions = set()
        self.token_counter = 0
        self.log = open(args.log, "a", buffering=1)

    def record(self, **entry):
        self.log.write(json.dumps(entry) + "\n")

    def respond(self, sender, options, code, results):
        """The request's Response, sent after the method has returned."""
        token = str(options.get("handle_token", "t"))
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), token)

        def send():
            msg = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
            msg.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
            self.bus.send_message(msg)
            return False

        if code is not None:
            GLib.idle_add(send)
        return dbus.ObjectPath(path)

    # --- properties
    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        self.record(method="Get", interface=str(interface), name=str(name))
        props = self.props(interface)
        if name not in props:
            raise dbus.exceptions.DBusException("No such property " + name,
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        return props[name]

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props(interface)

    def props(self, interface):
        if interface != SCREENCAST or self.args.mode == "no-screencast":
            raise dbus.exceptions.DBusException("No such interface '%s'" % interface,
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        return {"version": dbus.UInt32(self.args.version),
                "AvailableSourceTypes": dbus.UInt32(3),
                "AvailableCursorModes": dbus.UInt32(self.args.cursor_modes)}

    def check_interface(self):
        if self.args.mode == "no-screencast":
            raise dbus.exceptions.DBusException("No such interface",
                                                name="org.freedesktop.DBus.Error.UnknownMethod")

    # --- the ScreenCast interface
    @dbus.service.method(SCREENCAST, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.check_interface()
        self.record(method="CreateSession", options=plain(options))
        handle = "/org/freedesktop/portal/desktop/session/%s/%s" % (
            sender[1:].replace(".", "_"), options.get("session_handle_token", "s"))
        self.sessions.add(handle)
        return self.respond(sender, options, 0, {"session_handle": dbus.String(handle)})

    @dbus.service.method(SCREENCAST, in_signature="oa{sv}", out_signature="o", sender_keyword="sender")
    def SelectSources(self, session, options, sender=None):
        self.check_interface()
        self.record(method="SelectSources", session=str(session), options=plain(options))
        self.restore = str(options["restore_token"]) if "restore_token" in options else None
        self.persist = int(options.get("persist_mode", 0))
        return self.respond(sender, options, 0, {})

    @dbus.service.method(SCREENCAST, in_signature="osa{sv}", out_signature="o", sender_keyword="sender")
    def Start(self, session, parent, options, sender=None):
        self.check_interface()
        restore = getattr(self, "restore", None)
        stale = restore is not None and restore != self.args.known_token
        dialog = restore is None or stale
        self.record(method="Start", session=str(session), parent=str(parent), options=plain(options),
                    dialog=dialog)
        mode = self.args.mode
        if mode == "silent":
            return self.respond(sender, options, None, {})
        if mode == "refuse":
            return self.respond(sender, options, 1, {})
        if mode == "error" or (stale and self.args.stale_token == "refuse"):
            return self.respond(sender, options, 2, {})
        self.token_counter += 1
        stream = dbus.Struct((dbus.UInt32(self.args.node),
                              dbus.Dictionary({"size": dbus.Struct((self.args.width, self.args.height),
                                                                   signature="ii"),
                                               "source_type": dbus.UInt32(1)}, signature="sv")),
                             signature="ua{sv}")
        results = {"streams": dbus.Array([stream], signature="(ua{sv})")}
        if getattr(self, "persist", 0) != 0:
            results["restore_token"] = dbus.String("token-%d" % self.token_counter)
        return self.respond(sender, options, 0, results)

    @dbus.service.method(SCREENCAST, in_signature="oa{sv}", out_signature="h")
    def OpenPipeWireRemote(self, session, options):
        self.check_interface()
        self.record(method="OpenPipeWireRemote", session=str(session), options=plain(options))
        if self.args.mode == "no-remote":
            raise dbus.exceptions.DBusException("PipeWire is not running",
                                                name="org.freedesktop.portal.Error.Failed")
        if self.args.mode == "dead-pipewire":
            ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
            ours.close()
            fd = dbus.types.UnixFd(theirs)
            theirs.close()
            return fd
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(self.args.pipewire)
        fd = dbus.types.UnixFd(s)
        s.close()
        return fd

    def close_all(self):
        for handle in sorted(self.sessions):
            msg = dbus.lowlevel.SignalMessage(handle, "org.freedesktop.portal.Session", "Closed")
            msg.append(dbus.Dictionary({}, signature="sv"), signature="a{sv}")
            self.bus.send_message(msg)
            self.record(method="Closed", session=handle)
        self.sessions.clear()
        return True


class Sessions(dbus.service.FallbackObject):
    """Every session object: org.freedesktop.portal.Session.Close."""

    def __init__(self, bus, portal):
        super().__init__(bus, "/org/freedesktop/portal/desktop/session")
        self.portal = portal

    @dbus.service.method("org.freedesktop.portal.Session", in_signature="", out_signature="",
                         path_keyword="path")
    def Close(self, path=None):
        self.portal.record(method="Session.Close", session=str(path))
        self.portal.sessions.discard(str(path))


class Requests(dbus.service.FallbackObject):
    """Every request object: org.freedesktop.portal.Request.Close."""

    def __init__(self, bus, portal):
        super().__init__(bus, "/org/freedesktop/portal/desktop/request")
        self.portal = portal

    @dbus.service.method("org.freedesktop.portal.Request", in_signature="", out_signature="",
                         path_keyword="path")
    def Close(self, path=None):
        self.portal.record(method="Request.Close", request=str(path))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--log", required=True)
    ap.add_argument("--mode", default="normal",
                    choices=["normal", "refuse", "error", "silent", "no-screencast", "no-remote",
                             "dead-pipewire"])
    ap.add_argument("--node", type=int, default=0)
    ap.add_argument("--pipewire", default="")
    ap.add_argument("--version", type=int, default=5)
    ap.add_argument("--cursor-modes", type=int, default=7)
    ap.add_argument("--width", type=int, default=0)
    ap.add_argument("--height", type=int, default=0)
    ap.add_argument("--known-token", default="")
    ap.add_argument("--stale-token", choices=["ask", "refuse"], default="ask")
    args = ap.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, args)
    Sessions(bus, portal)
    Requests(bus, portal)
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)  # noqa: F841 (kept while running)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, portal.close_all)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: loop.quit() or False)
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    sys.exit(main())
