'''org.freedesktop.RealtimeKit1 for tests: a python3-dbusmock template.

MakeThreadRealtime grants (and keeps the thread and priority asked for,
which the test reads with Granted on org.freedesktop.RealtimeKit1.Test)
or, with the parameter {"refuse": true}, refuses as RealtimeKit does for
a process it does not trust.
'''

import dbus

BUS_NAME = 'org.freedesktop.RealtimeKit1'
MAIN_OBJ = '/org/freedesktop/RealtimeKit1'
MAIN_IFACE = 'org.freedesktop.RealtimeKit1'
SYSTEM_BUS = True


def load(mock, parameters):
    mock.granted = []
    mock.refuse = bool(parameters.get('refuse', False))
    mock.AddProperties(MAIN_IFACE, {
        'MaxRealtimePriority': dbus.Int32(20),
        'MinNiceLevel': dbus.Int32(-15),
        'RTTimeUSecMax': dbus.Int64(200000),
    })
    mock.AddMethod(MAIN_IFACE, 'MakeThreadRealtime', 'tu', '',
                   'if self.refuse:\n'
                   '    raise dbus.exceptions.DBusException("Operation not permitted",'
                   ' name="org.freedesktop.DBus.Error.AccessDenied")\n'
                   'self.granted.append((int(args[0]), int(args[1])))')
    mock.AddMethod('org.freedesktop.RealtimeKit1.Test', 'Granted', '', 'a(tu)', 'ret = self.granted')
