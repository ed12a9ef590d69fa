"""A scripted peer that owns com.norda.zupolicy on the test bus and serves
/policymgr, so that the client side can be driven without the daemon.

usage: policymgr_peer.py ANSWERS CALLS

ANSWERS is a JSON file read at every call: {"method": answer}; an int
answer is replied as D-Bus 'i', any other JSON value as a string 's' (a
reply of the wrong type); a missing method answers 0. Every call is
appended to CALLS as one JSON line {"method", "signature", "args"} before it
is answered. "ready" is printed once the name is owned.
"""

import json
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERVICE = "com.norda.zupolicy"
INTERFACE = "com.norda.zupolicy.policymgr"


class Peer(dbus.service.Object):
    def __init__(self, bus, answers, calls):
        super().__init__(bus, "/policymgr")
        self.answers = answers
        self.calls = calls

    def serve(self, name, msg, conn, args):
        with open(self.calls, "a", encoding="utf-8") as out:
            out.write(json.dumps({"method": name, "signature": msg.get_signature(),
                                  "args": [a if isinstance(a, str) else int(a) for a in args]},
                                 ensure_ascii=False) + "\n")
        with open(self.answers, encoding="utf-8") as f:
            answer = json.load(f).get(name, 0)
        reply = dbus.lowlevel.MethodReturnMessage(msg)
        if isinstance(answer, int):
            reply.append(answer, signature="i")
        else:
            reply.append(str(answer), signature="s")
        conn.send_message(reply)

    def method(in_signature):
        return dbus.service.method(INTERFACE, in_signature=in_signature, out_signature="i",
                                   async_callbacks=("_ok", "_err"), message_keyword="msg",
                                   connection_keyword="conn")

    @method("")
    def compilePolicy(self, _ok, _err, msg, conn):
        self.serve("compilePolicy", msg, conn, [])

    @method("")
    def compileInitPolicy(self, _ok, _err, msg, conn):
        self.serve("compileInitPolicy", msg, conn, [])

    @method("")
    def sendPolicy(self, _ok, _err, msg, conn):
        self.serve("sendPolicy", msg, conn, [])

    @method("ss")
    def compileSectionPolicy(self, ns_name, sec_name, _ok, _err, msg, conn):
        self.serve("compileSectionPolicy", msg, conn, [ns_name, sec_name])

    @method("ssi")
    def modifyDynamicVariable(self, ns_name, var_name, var_value, _ok, _err, msg, conn):
        self.serve("modifyDynamicVariable", msg, conn, [ns_name, var_name, var_value])


def main():
    answers, calls = sys.argv[1], sys.argv[2]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    name = dbus.service.BusName(SERVICE, bus, do_not_queue=True)
    peer = Peer(bus, answers, calls)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, peer


if __name__ == "__main__":
    main()
