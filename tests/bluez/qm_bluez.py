'''BlueZ as the tool meets it, for the tests: python-dbusmock's bluez5
template plus what it leaves out. Pair asks the caller's registered agent
for the PIN and pairs only with the device's own; ConnectProfile hands the
caller's registered profile (NewConnection) the socket the test gave for
that device (SetSerialEndpoint). Every step is logged on standard output.

Parameters (JSON, -p):
  adapters: [{name, powered}]
  devices:  [{adapter, address, name, class, uuids, pin, paired, rssi,
              refuse (pairing always refused), silent (pairing never
              answers), hidden (appears only once an inquiry runs)}]
'''

import os

import dbus
import dbus.service

from dbusmock import OBJECT_MANAGER_IFACE, mockobject
import dbusmock.templates.bluez5 as stock

BUS_NAME = stock.BUS_NAME
MAIN_OBJ = stock.MAIN_OBJ
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

ADAPTER = stock.ADAPTER_IFACE
DEVICE = stock.DEVICE_IFACE
ERROR = 'org.bluez.Error.'


def error(name, text):
    return dbus.exceptions.DBusException(text, name=ERROR + name)


def add_method(obj, iface, name, in_sig, fn, **keywords):
    method = dbus.service.method(iface, in_signature=in_sig, out_signature='', **keywords)(fn)
    obj.methods.setdefault(iface, {})[name] = (in_sig, '', '', method)


def manager():
    return mockobject.objects['/org/bluez']


def register_agent(self, path, capability, sender=None):
    self.log(f'RegisterAgent {path} {capability}')
    if sender in self.qm_agents:
        raise error('AlreadyExists', 'agent already registered')
    self.qm_agents[sender] = path


def unregister_agent(self, path, sender=None):
    self.log(f'UnregisterAgent {path}')
    if self.qm_agents.get(sender) != path:
        raise error('DoesNotExist', 'no such agent')
    del self.qm_agents[sender]


def register_profile(self, path, uuid, options, sender=None):
    self.log(f'RegisterProfile {path} {uuid} role={options.get("Role", "")}')
    self.qm_profiles[str(uuid).lower()] = (sender, path)


def unregister_profile(self, path, sender=None):
    self.log(f'UnregisterProfile {path}')
    for uuid, owner in list(self.qm_profiles.items()):
        if owner == (sender, path):
            del self.qm_profiles[uuid]
            return
    raise error('DoesNotExist', 'no such profile')


def set_paired(device):
    device.paired = True
    device.props[DEVICE]['Paired'] = dbus.Boolean(True, variant_level=1)
    device.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                      [DEVICE, {'Paired': dbus.Boolean(True, variant_level=1)}, []])


def pair(self, sender=None, ok=None, err=None):
    self.log(f'Pair {self.path}')
    if self.paired:
        return err(error('AlreadyExists', 'Already Exists'))
    if self.qm['refuse']:
        return err(error('AuthenticationRejected', 'Authentication Rejected'))
    if self.qm['silent']:
        return None  # the reply never comes
    agent_path = manager().qm_agents.get(sender)
    if agent_path is None:
        return err(error('AuthenticationFailed', 'Authentication Failed (no agent)'))

    def answered(pin):
        self.log(f'RequestPinCode answered "{pin}"')
        if str(pin) != self.qm['pin']:
            return err(error('AuthenticationFailed', 'Authentication Failed'))
        set_paired(self)
        return ok()

    def failed(e):
        self.log(f'RequestPinCode failed {e.get_dbus_name()}')
        err(error('AuthenticationCanceled', 'Authentication Canceled'))

    agent = self.connection.get_object(sender, agent_path, introspect=False)
    agent.RequestPinCode(dbus.ObjectPath(self.path), dbus_interface='org.bluez.Agent1',
                         reply_handler=answered, error_handler=failed, timeout=20)
    return None


def connect_profile(self, uuid, sender=None, ok=None, err=None):
    uuid = str(uuid).lower()
    self.log(f'ConnectProfile {self.path} {uuid}')
    if self.qm['pin'] and not self.paired:
        return err(error('Failed', 'not paired'))
    if uuid not in [str(u).lower() for u in self.props[DEVICE]['UUIDs']]:
        return err(error('NotAvailable', 'Operation currently not available'))
    profile = manager().qm_profiles.get(uuid)
    if profile is None:
        return err(error('NotAvailable', 'no profile registered'))
    if self.qm_endpoint is None:
        return err(error('Failed', 'no serial endpoint given by the test'))
    fd = dbus.types.UnixFd(self.qm_endpoint)  # a copy of our own
    os.close(self.qm_endpoint)
    self.qm_endpoint = None

    def handed():
        self.log(f'NewConnection {profile[1]} accepted')
        ok()

    def refused(e):
        self.log(f'NewConnection refused {e.get_dbus_name()}')
        err(error('Failed', 'profile refused the connection'))

    obj = self.connection.get_object(profile[0], profile[1], introspect=False)
    obj.NewConnection(dbus.ObjectPath(self.path), fd, dbus.Dictionary({}, signature='sv'),
                      dbus_interface='org.bluez.Profile1', reply_handler=handed, error_handler=refused, timeout=20)
    return None


@dbus.service.method(stock.BLUEZ_MOCK_IFACE, in_signature='sh', out_signature='')
def SetSerialEndpoint(_self, address, fd):
    '''The socket the next ConnectProfile of this device hands over.'''
    for obj in mockobject.objects.values():
        if getattr(obj, 'qm', None) and obj.qm['address'].lower() == address.lower():
            if obj.qm_endpoint is not None:
                os.close(obj.qm_endpoint)
            obj.qm_endpoint = fd.take()
            return
    raise error('DoesNotExist', 'no such device')


def start_discovery(self):
    self.log(f'StartDiscovery {self.path}')
    if not self.props[ADAPTER]['Powered']:
        raise error('NotReady', 'Resource Not Ready')
    for entry in self.qm_hidden:
        add_device(self.qm_mock, entry)
    self.qm_hidden = []
    stock.StartDiscovery(self)


def add_device(mock, entry):
    adapter = entry.get('adapter', 'hci0')
    path = stock.AddDevice(mock, adapter, entry['address'], entry.get('name', ''))
    device = mockobject.objects[path]
    props = device.props[DEVICE]
    props['Class'] = dbus.UInt32(entry.get('class', 0), variant_level=1)
    props['UUIDs'] = dbus.Array(entry.get('uuids', []), signature='s', variant_level=1)
    props['RSSI'] = dbus.Int16(entry.get('rssi', -60), variant_level=1)
    if not entry.get('name'):
        del props['Name']
        props['Alias'] = dbus.String(entry['address'].replace(':', '-'), variant_level=1)
    device.qm = {'address': entry['address'], 'pin': entry.get('pin', ''), 'refuse': entry.get('refuse', False),
                 'silent': entry.get('silent', False)}
    device.qm_endpoint = None
    if entry.get('paired'):
        set_paired(device)
    add_method(device, DEVICE, 'Pair', '', pair, sender_keyword='sender', async_callbacks=('ok', 'err'))
    add_method(device, DEVICE, 'ConnectProfile', 's', connect_profile, sender_keyword='sender',
               async_callbacks=('ok', 'err'))


def load(mock, parameters):
    mockobject.objects[mock.path] = mock  # the stock helpers signal through it; dbusmock lists it only later
    stock.load(mock, parameters)
    bluez = manager()
    bluez.qm_agents = {}
    bluez.qm_profiles = {}
    add_method(bluez, 'org.bluez.AgentManager1', 'RegisterAgent', 'os', register_agent, sender_keyword='sender')
    add_method(bluez, 'org.bluez.AgentManager1', 'UnregisterAgent', 'o', unregister_agent, sender_keyword='sender')
    add_method(bluez, 'org.bluez.ProfileManager1', 'RegisterProfile', 'osa{sv}', register_profile,
               sender_keyword='sender')
    add_method(bluez, 'org.bluez.ProfileManager1', 'UnregisterProfile', 'o', unregister_profile,
               sender_keyword='sender')
    for entry in parameters.get('adapters', []):
        path = stock.AddAdapter(mock, entry['name'], 'qm-test')
        adapter = mockobject.objects[path]
        adapter.props[ADAPTER]['Powered'] = dbus.Boolean(entry.get('powered', True), variant_level=1)
        adapter.qm_mock = mock
        adapter.qm_hidden = []
        add_method(adapter, ADAPTER, 'StartDiscovery', '', start_discovery)
    for entry in parameters.get('devices', []):
        if entry.get('hidden'):
            mockobject.objects['/org/bluez/' + entry.get('adapter', 'hci0')].qm_hidden.append(entry)
        else:
            add_device(mock, entry)
    mock.log('qm mock ready')
