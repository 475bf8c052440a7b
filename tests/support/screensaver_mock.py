'''org.freedesktop.ScreenSaver for tests: a python3-dbusmock template.

Inhibit and UnInhibit keep a table of the inhibits in force, which the
test reads with ActiveInhibits on the org.freedesktop.ScreenSaver.Test
interface.
'''

BUS_NAME = 'org.freedesktop.ScreenSaver'
MAIN_OBJ = '/org/freedesktop/ScreenSaver'
MAIN_IFACE = 'org.freedesktop.ScreenSaver'
SYSTEM_BUS = False


def load(mock, _parameters):
    mock.inhibits = {}
    mock.next_cookie = 1
    mock.AddMethods(MAIN_IFACE, [
        ('Inhibit', 'ss', 'u',
         'ret = self.next_cookie; self.next_cookie += 1; self.inhibits[ret] = (args[0], args[1])'),
        ('UnInhibit', 'u', '', 'self.inhibits.pop(int(args[0]), None)'),
        ('GetActive', '', 'b', 'ret = False'),
    ])
    mock.AddMethod('org.freedesktop.ScreenSaver.Test', 'ActiveInhibits', '', 'u', 'ret = len(self.inhibits)')
