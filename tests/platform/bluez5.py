'''A BlueZ 5 look-alike for python-dbusmock (load it with -t path/to/bluez5.py).

It offers the calls of dbusmock's own bluez5 template that the tests use (org.bluez.Mock.AddAdapter,
RemoveAdapter, AddDevice, and the adapter's RemoveDevice, SetDiscoveryFilter, StartDiscovery, StopDiscovery),
with the D-Bus types that bluetoothd uses. The template shipped with python3-dbusmock 0.28.7 gives a new device
ManufacturerData, ServiceData and AdvertisingFlags of the wrong types (aa{qv}, aa{sv}, aay) and always an RSSI of
-79 and a TxPower of 0; here a device starts with none of these, as in bluetoothd, which sets them only once it has
heard them, so a test says what each advertisement carries by emitting PropertiesChanged through
org.freedesktop.DBus.Mock.EmitSignal. Powered can be changed with org.freedesktop.DBus.Properties.Set, which also
emits PropertiesChanged.

Discovery is kept as bluetoothd keeps it: one session per client, keyed by the caller's unique bus name, with a
filter of its own; Discovering is true while any client holds a session; powering off ends them all, and a client
that leaves the bus loses its own. StartDiscovery answers NotReady while the adapter is off and InProgress to a
client that holds a session or whose start is unanswered; StopDiscovery answers Failed ("No discovery started")
to a client without a session and InProgress while that client's start is unanswered. org.bluez.Mock.Misbehave
makes calls fail, wait or go unanswered, DropDiscovery ends every session with the adapter still powered, and
DiscoverySessions tells who holds one and whose start is unanswered.
'''

import dbus
from gi.repository import GLib

from dbusmock import OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MOCK_IFACE = 'org.bluez.Mock'
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'


def load(_mock, _parameters):
    pass


def _error(name, text):
    return dbus.exceptions.DBusException(text, name='org.bluez.Error.' + name)


ERROR_TEXTS = {
    'Failed': 'Operation failed',
    'NotReady': 'Resource Not Ready',
    'InProgress': 'Operation already in progress',
}


class Discovery:
    '''What bluetoothd keeps per adapter for discovery: one session per client (by its unique bus name), the
    clients whose StartDiscovery is still unanswered, each client's filter, and the misbehaviour asked for.'''

    def __init__(self, adapter):
        self.adapter = adapter
        self.sessions = set()
        self.starting = set()
        self.filters = {}
        self.watches = {}
        # method name -> [how, calls left (-1: all), delay in ms]
        self.rules = {}

    def powered(self):
        return bool(self.adapter.props[ADAPTER_IFACE]['Powered'])

    def update_discovering(self):
        discovering = bool(self.sessions)
        if bool(self.adapter.props[ADAPTER_IFACE]['Discovering']) != discovering:
            self.adapter.props[ADAPTER_IFACE]['Discovering'] = dbus.Boolean(discovering, variant_level=1)
            self.adapter.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [
                ADAPTER_IFACE, {'Discovering': dbus.Boolean(discovering, variant_level=1)}, []])

    def forget(self, client):
        self.sessions.discard(client)
        self.filters.pop(client, None)
        watch = self.watches.pop(client, None)
        if watch is not None:
            watch.cancel()

    def drop_all(self):
        '''Every session ends, as at power-off or when the controller fails; Powered is left as it is.'''
        for client in list(self.sessions) + list(self.filters):
            self.forget(client)
        self.update_discovering()

    def watch(self, client):
        # A client that leaves the bus loses its session and its filter.
        if client in self.watches:
            return

        def owner_changed(owner):
            if not owner and client in self.watches:
                self.forget(client)
                self.update_discovering()

        self.watches[client] = self.adapter.connection.watch_name_owner(client, owner_changed)

    def answer(self, method, work, reply, fail, lost=lambda: None):
        '''Runs the call as the rule for the method says: at once, later, never answered, lost, or failing.'''
        how, delay = '', 0
        rule = self.rules.get(method)
        if rule is not None:
            how, left, delay = rule
            if left > 0:
                rule[1] -= 1
                if rule[1] == 0:
                    del self.rules[method]

        def run():
            if how == 'lost':
                lost()
                return False
            if how in ERROR_TEXTS:
                fail(_error(how, ERROR_TEXTS[how]))
                return False
            try:
                work()
            except dbus.exceptions.DBusException as e:
                fail(e)
                return False
            if how != 'silent':
                reply()
            return False

        if delay > 0:
            GLib.timeout_add(delay, run)
        else:
            run()


def _discovery(adapter):
    return adapter.discovery


def _require_powered(adapter):
    if not adapter.props[ADAPTER_IFACE]['Powered']:
        raise _error('NotReady', 'Resource Not Ready')


def SetDiscoveryFilter(adapter, discovery_filter, sender=None, reply=None, fail=None):
    d = _discovery(adapter)

    def work():
        _require_powered(adapter)
        d.filters[sender] = dict(discovery_filter)
        d.watch(sender)

    d.answer('SetDiscoveryFilter', work, reply, fail)


def StartDiscovery(adapter, sender=None, reply=None, fail=None):
    d = _discovery(adapter)
    if sender in d.sessions or sender in d.starting:
        fail(_error('InProgress', ERROR_TEXTS['InProgress']))
        return
    d.starting.add(sender)

    def work():
        d.starting.discard(sender)
        _require_powered(adapter)
        d.sessions.add(sender)
        d.watch(sender)
        d.update_discovering()

    def failed(error):
        d.starting.discard(sender)
        fail(error)

    d.answer('StartDiscovery', work, reply, failed, lambda: d.starting.discard(sender))


def StopDiscovery(adapter, sender=None, reply=None, fail=None):
    d = _discovery(adapter)
    if sender in d.starting:
        fail(_error('InProgress', ERROR_TEXTS['InProgress']))
        return

    def work():
        _require_powered(adapter)
        if sender not in d.sessions:
            raise _error('Failed', 'No discovery started')
        d.sessions.discard(sender)
        d.filters.pop(sender, None)
        d.update_discovering()

    d.answer('StopDiscovery', work, reply, fail)


# The discovery calls need the caller's name and may answer later, which dbusmock's own methods cannot: they are
# made D-Bus methods here, once, and not at module level, where the template loader would put them on the root
# object (so is Properties.Set below).
ADAPTER_METHODS = [(SetDiscoveryFilter, 'a{sv}'), (StartDiscovery, ''), (StopDiscovery, '')]
_decorated = []


def _discovery_methods():
    if not _decorated:
        for fn, in_signature in ADAPTER_METHODS:
            _decorated.append(dbus.service.method(ADAPTER_IFACE, in_signature=in_signature, out_signature='',
                                                  sender_keyword='sender', async_callbacks=('reply', 'fail'))(fn))
    return _decorated


def RemoveDevice(adapter, path):
    adapter.RemoveObject(path)
    mockobject.objects['/'].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [
        dbus.ObjectPath(path), [DEVICE_IFACE]])


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapter(self, device_name, system_name):
    '''Adds a powered adapter /org/bluez/DEVICE_NAME (e.g. "hci0") and returns its path.'''
    path = '/org/bluez/' + device_name
    digit = int(device_name[-1]) if device_name[-1].isdigit() else 0
    properties = {
        'Address': dbus.String(':'.join(f'{digit + i:02X}' for i in range(6)), variant_level=1),
        'AddressType': dbus.String('public', variant_level=1),
        'Name': dbus.String(system_name, variant_level=1),
        'Alias': dbus.String(system_name, variant_level=1),
        'Class': dbus.UInt32(268, variant_level=1),
        'Powered': dbus.Boolean(True, variant_level=1),
        'Discoverable': dbus.Boolean(False, variant_level=1),
        'Pairable': dbus.Boolean(True, variant_level=1),
        'Discovering': dbus.Boolean(False, variant_level=1),
        'UUIDs': dbus.Array([], signature='s', variant_level=1),
    }
    self.AddObject(path, ADAPTER_IFACE, properties, [('RemoveDevice', 'o', '', RemoveDevice)])
    adapter = mockobject.objects[path]
    adapter.discovery = Discovery(adapter)
    for fn in _discovery_methods():
        adapter.methods[ADAPTER_IFACE][fn.__name__] = (fn._dbus_in_signature, '', '',
                                                       mockobject.loggedmethod(adapter, fn))
    adapter.methods[dbus.PROPERTIES_IFACE] = {'Set': ('ssv', '', '', _set_method())}
    self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [
        dbus.ObjectPath(path), {ADAPTER_IFACE: properties}])
    return path


def _set_property(adapter, interface_name, property_name, value):
    '''Properties.Set; powering off ends every discovery session, told in the same signal as Powered.'''
    if interface_name != ADAPTER_IFACE or property_name != 'Powered' or value:
        mockobject.DBusMockObject.Set(adapter, interface_name, property_name, value)
        return
    d = adapter.discovery
    for client in list(d.sessions) + list(d.filters):
        d.forget(client)
    changed = {'Powered': dbus.Boolean(False, variant_level=1)}
    if adapter.props[ADAPTER_IFACE]['Discovering']:
        changed['Discovering'] = dbus.Boolean(False, variant_level=1)
    adapter.props[ADAPTER_IFACE].update(changed)
    adapter.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [ADAPTER_IFACE, changed, []])


def _set_method():
    if not hasattr(_set_property, '_dbus_interface'):
        dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ssv', out_signature='')(_set_property)
    return _set_property


def _adapter(device_name):
    path = '/org/bluez/' + device_name
    if path not in mockobject.objects:
        raise dbus.exceptions.DBusException('No such adapter ' + device_name, name=MOCK_IFACE + '.NoSuchAdapter')
    return mockobject.objects[path]


@dbus.service.method(MOCK_IFACE, in_signature='sssi', out_signature='')
def Misbehave(self, device_name, method, how, count):
    '''Makes the next COUNT calls (-1: every call until told otherwise) of the adapter's METHOD
    (SetDiscoveryFilter, StartDiscovery or StopDiscovery) answer as HOW says: "Failed", "NotReady" or
    "InProgress" (that error, and the call has no effect), "silent" (the call takes effect but is never
    answered), "lost" (neither takes effect nor is answered), "delay:MS" (answered MS milliseconds later, until then unanswered), or "" (as usual again).'''
    rules = _adapter(device_name).discovery.rules
    delay = 0
    if how.startswith('delay:'):
        how, delay = '', int(how[len('delay:'):])
    if not how and delay == 0:
        rules.pop(method, None)
    else:
        rules[method] = [how, -1 if count < 0 else count, delay]


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def DropDiscovery(self, device_name):
    '''Ends every discovery session of the adapter, which stays powered, as bluetoothd does when the controller
    fails or resumes.'''
    _adapter(device_name).discovery.drop_all()


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='asas')
def DiscoverySessions(self, device_name):
    '''The unique bus names of the clients holding a discovery session on the adapter, and of those whose
    StartDiscovery there is still unanswered.'''
    d = _adapter(device_name).discovery
    return (dbus.Array(sorted(d.sessions), signature='s'), dbus.Array(sorted(d.starting), signature='s'))


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RemoveAdapter(self, device_name):
    '''Removes the adapter alone, as a crashing bluetoothd may: its devices' objects are not announced gone.'''
    path = '/org/bluez/' + device_name
    self.RemoveObject(path)
    self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [dbus.ObjectPath(path), [ADAPTER_IFACE]])


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='s')
def AddDevice(self, adapter_device_name, device_address, name):
    '''Adds a device that has not been heard yet (no RSSI); an empty name adds it without a Name. Returns its path.'''
    adapter_path = '/org/bluez/' + adapter_device_name
    if adapter_path not in mockobject.objects:
        raise dbus.exceptions.DBusException('No such adapter ' + adapter_device_name,
                                            name=MOCK_IFACE + '.NoSuchAdapter')
    path = adapter_path + '/dev_' + device_address.replace(':', '_').upper()
    properties = {
        'Address': dbus.String(device_address, variant_level=1),
        'AddressType': dbus.String('random', variant_level=1),
        'Alias': dbus.String(name or device_address.replace(':', '-'), variant_level=1),
        'Adapter': dbus.ObjectPath(adapter_path, variant_level=1),
        'Paired': dbus.Boolean(False, variant_level=1),
        'Trusted': dbus.Boolean(False, variant_level=1),
        'Blocked': dbus.Boolean(False, variant_level=1),
        'Connected': dbus.Boolean(False, variant_level=1),
        'LegacyPairing': dbus.Boolean(False, variant_level=1),
        'ServicesResolved': dbus.Boolean(False, variant_level=1),
        'UUIDs': dbus.Array([], signature='s', variant_level=1),
    }
    if name:
        properties['Name'] = dbus.String(name, variant_level=1)
    self.AddObject(path, DEVICE_IFACE, properties, [])
    self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [
        dbus.ObjectPath(path), {DEVICE_IFACE: properties}])
    return path
