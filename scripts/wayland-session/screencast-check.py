#!/usr/bin/python3
"""Checks the ScreenCast portal of scripts/wayland-session.sh end to end:
CreateSession, SelectSources (a monitor, the pointer embedded) and Start on
the session bus must each answer 0, Start with one stream (a PipeWire node
id and the output's size); then OpenPipeWireRemote's socket is handed to
CONSUMER (screencast-consumer.c), which must receive pictures of that node.

    screencast-check.py CONSUMER [FRAMES]
"""
import os
import subprocess
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

DEADLINE_S = 30

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = bus.get_object("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
screencast = dbus.Interface(portal, "org.freedesktop.portal.ScreenCast")
sender = bus.get_unique_name()[1:].replace(".", "_")
counter = 0


def request(method, *args):
    """Calls a method that answers through a Request object; returns its results."""
    global counter
    counter += 1
    token = "vardel%d" % counter
    path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender, token)
    answer = {}
    loop = GLib.MainLoop()

    def on_response(response, results):
        answer["response"] = int(response)
        answer["results"] = results
        loop.quit()

    match = bus.add_signal_receiver(on_response, "Response", "org.freedesktop.portal.Request", path=path)
    options = args[-1]
    options["handle_token"] = token
    getattr(screencast, method)(*args)
    GLib.timeout_add_seconds(DEADLINE_S, loop.quit)
    loop.run()
    match.remove()
    if "response" not in answer:
        sys.exit("screencast-check: %s got no answer in %d s" % (method, DEADLINE_S))
    if answer["response"] != 0:
        sys.exit("screencast-check: %s answered %d" % (method, answer["response"]))
    return answer["results"]


def main():
    consumer = sys.argv[1]
    frames = sys.argv[2] if len(sys.argv) > 2 else "10"
    version = int(portal.Get("org.freedesktop.portal.ScreenCast", "version",
                             dbus_interface="org.freedesktop.DBus.Properties"))
    results = request("CreateSession", {"session_handle_token": "vardelsession"})
    session = results["session_handle"]
    options = {"types": dbus.UInt32(1), "multiple": False}
    if version >= 2:
        options["cursor_mode"] = dbus.UInt32(2)
    request("SelectSources", session, options)
    results = request("Start", session, "", {})
    streams = results.get("streams", [])
    if len(streams) != 1:
        sys.exit("screencast-check: Start gave %d streams" % len(streams))
    node, props = int(streams[0][0]), streams[0][1]
    size = tuple(int(v) for v in props.get("size", (0, 0)))
    print("screencast-check: Start answered 0: node %d, size %dx%d" % (node, size[0], size[1]))
    fd = screencast.OpenPipeWireRemote(session, {}).take()
    status = subprocess.call([consumer, str(fd), str(node), frames], pass_fds=[fd])
    os.close(fd)
    sys.exit(status)


main()
