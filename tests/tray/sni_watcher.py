'''A StatusNotifierWatcher with its host, as a desktop's tray runs them, on the session bus that
DBUS_SESSION_BUS_ADDRESS names.

It behaves as the watchers of KDE and of GNOME's AppIndicator extension do: RegisterStatusNotifierItem takes a
bus name (the item at /StatusNotifierItem) or an object path (the caller's name), looks the item up before it
takes it and refuses what it cannot find (org.freedesktop.DBus.Error.ServiceUnknown for a name with no owner,
InvalidArgs for a name without the item's interface at that path); it drops an item whose name leaves the bus,
and signals each change. Its properties are RegisteredStatusNotifierItems, IsStatusNotifierHostRegistered and
ProtocolVersion. With --refuse every registration fails (InvalidArgs), as with a host that rejects the item.

The test plays the host's part itself (reading the item's properties, calling Activate and the menu), so the
script only keeps the register.
'''

import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = 'org.kde.StatusNotifierWatcher'
PATH = '/StatusNotifierWatcher'
ITEM_IFACE = 'org.kde.StatusNotifierItem'


def _error(name, text):
    return dbus.exceptions.DBusException(text, name='org.freedesktop.DBus.Error.' + name)


class Watcher(dbus.service.Object):
    def __init__(self, bus, refuse):
        super().__init__(bus, PATH)
        self.bus = bus
        self.refuse = refuse
        self.items = []
        bus.add_signal_receiver(self._owner_changed, signal_name='NameOwnerChanged',
                                dbus_interface='org.freedesktop.DBus', path='/org/freedesktop/DBus')

    def _owner_changed(self, name, _old, new):
        if new:
            return
        for item in [i for i in self.items if i.split('/', 1)[0] == name]:
            self.items.remove(item)
            self.StatusNotifierItemUnregistered(item)

    @dbus.service.method(NAME, in_signature='s', out_signature='', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender=None):
        if self.refuse:
            raise _error('InvalidArgs', 'the tray takes no items')
        if service.startswith('/'):
            name, path = sender, service
        else:
            name, path = service, '/StatusNotifierItem'
        if not self.bus.name_has_owner(name):
            raise _error('ServiceUnknown', 'no one owns ' + name)
        xml = dbus.Interface(self.bus.get_object(name, path, introspect=False),
                             'org.freedesktop.DBus.Introspectable').Introspect(timeout=5)
        if 'name="%s"' % ITEM_IFACE not in xml:
            raise _error('InvalidArgs', 'no item at %s%s' % (name, path))
        # Kept under the owner's unique name, which is what leaves the bus when the item ends.
        owner = name if name.startswith(':') else self.bus.get_name_owner(name)
        item = owner + path
        if item not in self.items:
            self.items.append(item)
            self.StatusNotifierItemRegistered(item)

    @dbus.service.method(NAME, in_signature='s', out_signature='')
    def RegisterStatusNotifierHost(self, _service):
        pass

    @dbus.service.signal(NAME, signature='s')
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(NAME, signature='s')
    def StatusNotifierItemUnregistered(self, item):
        pass

    @dbus.service.signal(NAME, signature='')
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.signal(NAME, signature='')
    def StatusNotifierHostUnregistered(self):
        pass

    def _properties(self):
        return {
            'RegisteredStatusNotifierItems': dbus.Array(self.items, signature='s'),
            'IsStatusNotifierHostRegistered': dbus.Boolean(True),
            'ProtocolVersion': dbus.Int32(0),
        }

    # dbus-python leaves properties out of its introspection data; clients that go by it (QDBusInterface)
    # would not find them.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature='', out_signature='s',
                         path_keyword='object_path', connection_keyword='connection')
    def Introspect(self, object_path, connection):
        xml = dbus.service.Object.Introspect(self, object_path, connection)
        properties = ('<property name="RegisteredStatusNotifierItems" type="as" access="read"/>'
                      '<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>'
                      '<property name="ProtocolVersion" type="i" access="read"/>')
        return xml.replace('<interface name="%s">' % NAME, '<interface name="%s">%s' % (NAME, properties), 1)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, prop):
        if interface != NAME or prop not in self._properties():
            raise _error('UnknownProperty', 'no property %s.%s' % (interface, prop))
        return self._properties()[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        if interface != NAME:
            raise _error('UnknownInterface', 'no interface ' + interface)
        return self._properties()


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus, '--refuse' in sys.argv[1:])
    # The name last: whoever sees it may register at once.
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    watcher.StatusNotifierHostRegistered()
    GLib.MainLoop().run()
    del name


if __name__ == '__main__':
    main()
