"""A status-notifier watcher that also says a host shows the items: the
least a desktop's panel offers. Run with the system's Python (Gio) on the
session bus of the program under test; it ends when its name is taken."""
import sys

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
XML = """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
</interface></node>"""

items = []


def call(conn, sender, path, iface, method, args, invocation):
    if method == "RegisterStatusNotifierItem":
        # Either a bus name (the item at the usual path) or a path on the caller.
        name = args.unpack()[0]
        service, where = (sender, name) if name.startswith("/") else (name, "/StatusNotifierItem")
        items.append(service + where)
        conn.emit_signal(None, path, WATCHER, "StatusNotifierItemRegistered", GLib.Variant("(s)", (service + where,)))
    invocation.return_value(None)


def prop(conn, sender, path, iface, name):
    return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
            "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0)}[name]


def main():
    conn = Gio.bus_get_sync(Gio.BusType.SESSION)
    conn.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], call, prop)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(conn, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                   None, lambda *a: loop.quit())
    loop.run()
    sys.exit(1)  # the name was taken or lost


if __name__ == "__main__":
    main()
