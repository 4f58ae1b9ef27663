'''A BlueZ 5 look-alike for python-dbusmock (load it with -t path/to/bluez5.py).

It offers the calls of dbusmock's own bluez5 template that the tests use (org.bluez.Mock.AddAdapter,
RemoveAdapter, AddDevice, and the adapter's RemoveDevice, SetDiscoveryFilter, StartDiscovery, StopDiscovery),
with the D-Bus types that bluetoothd uses. The template shipped with python3-dbusmock 0.28.7 gives a new device
ManufacturerData, ServiceData and AdvertisingFlags of the wrong types (aa{qv}, aa{sv}, aay) and always an RSSI of
-79 and a TxPower of 0; here a device starts with none of these, as in bluetoothd, which sets them only once it has
heard them, so a test says what each advertisement carries by emitting PropertiesChanged through
org.freedesktop.DBus.Mock.EmitSignal. Discovery answers as bluetoothd does when the adapter is off (NotReady) and
when there is no discovery to stop (Failed). Powered can be changed with org.freedesktop.DBus.Properties.Set,
which also emits PropertiesChanged.
'''

import dbus

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


def _set_discovering(adapter, discovering):
    adapter.props[ADAPTER_IFACE]['Discovering'] = dbus.Boolean(discovering, variant_level=1)
    adapter.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [
        ADAPTER_IFACE, {'Discovering': dbus.Boolean(discovering, variant_level=1)}, []])


def _require_powered(adapter):
    if not adapter.props[ADAPTER_IFACE]['Powered']:
        raise _error('NotReady', 'Resource Not Ready')


def SetDiscoveryFilter(adapter, _discovery_filter):
    _require_powered(adapter)


def StartDiscovery(adapter):
    _require_powered(adapter)
    if not adapter.props[ADAPTER_IFACE]['Discovering']:
        _set_discovering(adapter, True)


def StopDiscovery(adapter):
    _require_powered(adapter)
    if not adapter.props[ADAPTER_IFACE]['Discovering']:
        raise _error('Failed', 'No discovery started')
    _set_discovering(adapter, False)


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
    self.AddObject(path, ADAPTER_IFACE, properties, [
        ('RemoveDevice', 'o', '', RemoveDevice),
        ('SetDiscoveryFilter', 'a{sv}', '', SetDiscoveryFilter),
        ('StartDiscovery', '', '', StartDiscovery),
        ('StopDiscovery', '', '', StopDiscovery),
    ])
    self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [
        dbus.ObjectPath(path), {ADAPTER_IFACE: properties}])
    return path


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
