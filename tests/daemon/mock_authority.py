#!/usr/bin/python3
"""A stand-in polkit authority for the replies real polkitd cannot give.

    mock_authority.py MODE STATE_DIR

MODE: challenge   every subject needs a password (root included);
      malformed   the reply has the wrong signature;
      hang        no call is ever answered;
      hold        the first call is answered (authorised) only once the file
                  STATE_DIR/release exists; STATE_DIR/held appears when it
                  arrives; later calls are authorised at once.
Run as the polkitd user, which the bus lets own org.freedesktop.PolicyKit1.
"""

import os
import pathlib
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

MODE = sys.argv[1]
STATE = pathlib.Path(sys.argv[2])
INTERFACE = "org.freedesktop.PolicyKit1.Authority"


class Authority(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/PolicyKit1/Authority")
        self.held = False

    @dbus.service.method(INTERFACE, in_signature="(sa{sv})sa{ss}us", out_signature="(bba{ss})",
                         async_callbacks=("reply", "error"))
    def CheckAuthorization(self, subject, action_id, details, flags, cancellation_id, reply, error):
        if MODE == "hang":
            return
        if MODE == "challenge":
            reply((False, True, {"polkit.retains_authorization_after_challenge": "1"}))
        elif MODE == "hold" and not self.held:
            self.held = True
            (STATE / "held").touch()

            def release():
                if not (STATE / "release").exists():
                    return True
                reply((True, False, {}))
                return False
            GLib.timeout_add(10, release)
        else:
            reply((True, False, {}))


class MalformedAuthority(dbus.service.Object):
    @dbus.service.method(INTERFACE, in_signature="(sa{sv})sa{ss}us", out_signature="s")
    def CheckAuthorization(self, subject, action_id, details, flags, cancellation_id):
        return "yes"


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    if MODE == "malformed":
        keep = MalformedAuthority(bus, "/org/freedesktop/PolicyKit1/Authority")
    else:
        keep = Authority(bus)
    name = dbus.service.BusName("org.freedesktop.PolicyKit1", bus, do_not_queue=True)
    assert keep and name
    GLib.MainLoop().run()


if __name__ == "__main__":
    os.umask(0o022)
    main()
