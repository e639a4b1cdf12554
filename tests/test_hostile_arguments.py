"""Hostile arguments: every function and method of windows.volumes called
with a zoo of objects. Each call returns a value of the documented type or
raises a documented exception, and the process never crashes.

The zoo runs in a fresh interpreter that announces each call before making
it, so that a crash is reported with the call that caused it.
"""

import ctypes
import sys
import unittest

import winsim
import windows.volumes as volumes

import support
from soundness import (MACHINE, MISBEHAVIOURS, Injected, Misbehaving, OldStyleRaising, QuietLog, ServiceClass,
                       VolumeEntry, built_service, use_machine)
from support import Handle, IntSubclass, LongOnly, LongSubclass, Stat, StrSubclass, UnicodeSubclass


# -- the zoo -------------------------------------------------------------------

def beyond_unicode():
    """A unicode object holding a value past U+10FFFF, which no codec makes;
    None on a UTF-16 host, where no such value fits."""
    if sys.maxunicode <= 0xFFFF:
        return None
    make = ctypes.pythonapi.PyUnicodeUCS4_FromUnicode
    make.restype = ctypes.py_object
    make.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    units = (ctypes.c_uint32 * 3)(0x41, 0x110000, 0xFFFFFFFF)
    return make(units, 3)


def zoo(world):
    """(label, factory) pairs: a fresh object from each factory for each call."""
    numbers = [("0", 0), ("1", 1), ("-1", -1), ("sys.maxint", sys.maxint), ("-sys.maxint-1", -sys.maxint - 1)]
    for bits in (31, 32, 63, 64):
        numbers += [("2**%d-1" % bits, 2 ** bits - 1), ("2**%d" % bits, 2 ** bits),
                    ("-2**%d" % bits, -2 ** bits), ("-2**%d-1" % bits, -2 ** bits - 1)]
    numbers += [("2**100", 2 ** 100), ("-2**100", -2 ** 100), ("0L", 0L), ("5L", 5L), ("-5L", -5L),
                ("serial", MACHINE[0]["serial"]), ("serial as long", long(MACHINE[0]["serial"])),
                ("open handle", world.handle), ("closed handle", world.closed_handle)]
    name = MACHINE[0]["name"]
    texts = [("''", ""), ("'abc'", "abc"), ("'\\xff'", "\xff"), ("'a\\0b'", "a\0b"), ("long str", "s" * 5000),
             ("volume name as str", name.encode("ascii")), ("u''", u""), ("u'abc'", u"abc"), ("u'a\\0b'", u"a\0b"),
             ("u'C:'", u"C:"), ("volume name", name), ("volume name with NUL", name + u"\0tail"),
             ("non-BMP", u"\U0001F600\U0010FFFF"), ("non-BMP volume name", name[:-1] + u"\U0001F600\\"),
             ("lone surrogates", u"\ud800x\udc00"), ("long unicode", u"u" * 5000),
             ("long non-BMP", u"\U0001F600" * 400)]
    beyond = beyond_unicode()
    if beyond is not None:
        texts.append(("beyond U+10FFFF", beyond))
    entries = [(label, lambda value=value: value) for label, value in numbers + texts]
    entries += [
        ("None", lambda: None), ("True", lambda: True), ("False", lambda: False),
        ("1.5", lambda: 1.5), ("-0.0", lambda: -0.0), ("nan", lambda: float("nan")), ("inf", lambda: float("inf")),
        ("1e300", lambda: 1e300), ("1j", lambda: 1j),
        ("str subclass", lambda: StrSubclass("abc")),
        ("str subclass of a volume name", lambda: StrSubclass(name.encode("ascii"))),
        ("unicode subclass", lambda: UnicodeSubclass(name)), ("int subclass", lambda: IntSubclass(5)),
        ("long subclass", lambda: LongSubclass(5)), ("huge long subclass", lambda: LongSubclass(1 << 70)),
        ("()", lambda: ()), ("(1,)", lambda: (1,)), ("(1, 2)", lambda: (1, 2)), ("(u'x',)", lambda: (u"x",)),
        ("[]", lambda: []), ("{}", lambda: {}), ("object()", object), ("type", lambda: int),
        ("only __long__", lambda: LongOnly(5L)), ("old-style instance", OldStyleRaising),
        ("handle object", lambda: Handle(world.handle)),
    ]
    entries += [(how, lambda how=how: Misbehaving(how)) for how in MISBEHAVIOURS]
    return entries


# -- what the calls may give ---------------------------------------------------

def nothing(result):
    return "returned %r where only an exception is documented" % (result,)


def unicode_list(result):
    if type(result) is not list or not all(type(item) is unicode for item in result):
        return "not a list of unicode: %r" % (result,)


def volume_information(result):
    types = [type(item) for item in result] if type(result) is tuple else None
    if types != [unicode, long, long, long, str]:
        return "not a volume information tuple: %r" % (result,)


def volume_id(result):
    if type(result) is not str or not result.startswith("serial:"):
        return "not a volume ID: %r" % (result,)


def boolean(result):
    if type(result) is not bool:
        return "not a bool: %r" % (result,)


def table(result):
    if type(result) is not dict or not all(type(entry) is VolumeEntry and key == entry.volume
                                           for key, entry in result.items()):
        return "not a volume table: %r" % (result,)


def entry_or_none(result):
    if result is not None and type(result) is not VolumeEntry:
        return "not a VolumeEntry or None: %r" % (result,)


def token(result):
    if type(result) is not dict:
        return "not a generation token: %r" % (result,)


def none(result):
    if result is not None:
        return "not None: %r" % (result,)


# Exceptions an argument's own methods raise, or the host's conversions of
# them (a float NaN or infinity made an integer).
OWN = (Injected, ValueError, OverflowError)
TEXT = (TypeError, UnicodeError, WindowsError)
HANDLE = (TypeError, OverflowError, WindowsError) + OWN
VOLUME_ID = (TypeError, AttributeError) + OWN
IS_FAT = (TypeError, AttributeError, OverflowError, UnicodeError) + OWN
LOOKUP = (TypeError,) + OWN
NOT_A_SERVICE = (AttributeError, TypeError) + OWN


def calls(world):
    """(label, function of one zoo object, check of the result, documented exceptions)."""
    V, service, methods = volumes, world.service, ServiceClass.__dict__
    handle, serial = Handle(world.handle), MACHINE[0]["serial"]
    return [
        ("_ListVolumeNames(x)", V._ListVolumeNames, nothing, (TypeError,)),
        ("_GetVolumePathNamesForVolumeName(x)", V._GetVolumePathNamesForVolumeName, unicode_list,
         TEXT + (MemoryError,)),
        ("GetVolumeInformation(x)", V.GetVolumeInformation, volume_information, TEXT),
        ("GetVolumeInformationByHandle(x)", V.GetVolumeInformationByHandle, volume_information, HANDLE),
        ("FindVolumeID(x)", V.FindVolumeID, volume_id, VOLUME_ID),
        ("FindVolumeID(stat with st_dev x)", lambda x: V.FindVolumeID(Stat(x)), volume_id, VOLUME_ID),
        ("_VolumeIDFromSerialNumber(x)", V._VolumeIDFromSerialNumber, volume_id, VOLUME_ID),
        ("IsFAT(x, handle)", lambda x: V.IsFAT(x, handle), boolean, IS_FAT),
        ("IsFAT(serial, x)", lambda x: V.IsFAT(world.uncached_serial(), x), boolean, IS_FAT),
        ("IsFAT(serial, handle object of x)", lambda x: V.IsFAT(world.uncached_serial(), Handle(x)), boolean,
         IS_FAT),
        ("IsFAT(handle=x, serial_number=x)", lambda x: V.IsFAT(handle=x, serial_number=x), boolean, IS_FAT),
        ("IsFAT(serial, handle, x=x)", lambda x: V.IsFAT(serial, handle, **{"x": x}), nothing, (TypeError,)),
        ("VolumeInfo(x)", V.VolumeInfo.NewInstance, nothing, (TypeError,)),
        ("service.FindVolumeID(x)", service.FindVolumeID, volume_id, VOLUME_ID),
        ("service.AllVolumeEntries(x)", service.AllVolumeEntries, table, (TypeError,) + OWN),
        ("service.GetVolumeEntryForVolumeID(x)", service.GetVolumeEntryForVolumeID, entry_or_none, LOOKUP),
        ("service.GetVolumeEntryForDeviceNumber(x)", service.GetVolumeEntryForDeviceNumber, entry_or_none,
         VOLUME_ID),
        ("service._PopulateVolumeTable(x)", service._PopulateVolumeTable, token, ()),
        ("service.AllVolumeEntries(x, x)", lambda x: service.AllVolumeEntries(x, x), nothing, (TypeError,)),
        ("service.GetVolumeEntryForVolumeID(volume_id=x)",
         lambda x: service.GetVolumeEntryForVolumeID(volume_id=x), entry_or_none, LOOKUP),
        # The class's own functions, given x as the instance.
        ("__init__ of x", methods["__init__"], none, NOT_A_SERVICE),
        ("FindVolumeID of x", lambda x: methods["FindVolumeID"](x, Stat(1)), volume_id, NOT_A_SERVICE),
        ("AllVolumeEntries of x", methods["AllVolumeEntries"], table, NOT_A_SERVICE),
        ("GetVolumeEntryForVolumeID of x", lambda x: methods["GetVolumeEntryForVolumeID"](x, "serial:1"),
         entry_or_none, NOT_A_SERVICE),
        ("GetVolumeEntryForDeviceNumber of x", lambda x: methods["GetVolumeEntryForDeviceNumber"](x, 1),
         entry_or_none, NOT_A_SERVICE),
        ("_PopulateVolumeTable of x", lambda x: methods["_PopulateVolumeTable"](x, {}), token, NOT_A_SERVICE),
        ("_FindVolumeIDForDeviceNumber of x", lambda x: methods["_FindVolumeIDForDeviceNumber"](x, 1), volume_id,
         NOT_A_SERVICE),
        # The class's functions bound by hand, to x as instance or as class.
        ("AllVolumeEntries bound to x, called", lambda x: methods["AllVolumeEntries"].__get__(x)(), table,
         NOT_A_SERVICE),
        ("AllVolumeEntries bound to x, repr", lambda x: repr(methods["AllVolumeEntries"].__get__(x)), text,
         (TypeError,) + OWN),
        ("AllVolumeEntries of class x, called", lambda x: methods["AllVolumeEntries"].__get__(None, x)(service),
         table, NOT_A_SERVICE),
        ("AllVolumeEntries of class x, repr", lambda x: repr(methods["AllVolumeEntries"].__get__(None, x)), text,
         (TypeError,) + OWN),
    ]


def text(result):
    if type(result) is not str:
        return "not a str: %r" % (result,)


def integer(result):
    if type(result) not in (int, long):
        return "not an integer: %r" % (result,)


def sequence(result):
    if type(result) is not list:
        return "not a list: %r" % (result,)


# What the native stand-ins raise for arguments they refuse.
STANDIN = (TypeError, ValueError, KeyError, UnicodeError, OverflowError) + OWN


def standin_calls():
    """The native stand-ins (windows.winwrap and winsim), called with x on an
    empty machine made anew for each call."""
    from windows import winwrap
    name = MACHINE[0]["name"]
    return [
        ("RaiseWindowsError(x)", winwrap.RaiseWindowsError, nothing, (WindowsError, TypeError, OverflowError)),
        ("RaiseWindowsError(code=x)", lambda x: winwrap.RaiseWindowsError(code=x), nothing,
         (WindowsError, TypeError, OverflowError)),
        ("add_volume(x)", winsim.add_volume, none, STANDIN),
        ("add_volume(name, mount_points=x)", lambda x: winsim.add_volume(name, mount_points=x), none, STANDIN),
        ("add_volume(name, label=x)", lambda x: winsim.add_volume(name, label=x), none, STANDIN),
        ("add_volume(name, serial=x)", lambda x: winsim.add_volume(name, serial=x), none, STANDIN),
        ("add_volume(name, total_bytes=x)", lambda x: winsim.add_volume(name, total_bytes=x), none, STANDIN),
        ("add_volume(name, free_bytes=x)", lambda x: winsim.add_volume(name, total_bytes=None, free_bytes=x), none,
         STANDIN),
        ("set_mount_points(x, [])", lambda x: winsim.set_mount_points(x, []), none, STANDIN),
        ("set_mount_points(name, x)", lambda x: (winsim.add_volume(name), winsim.set_mount_points(name, x))[1],
         none, STANDIN),
        ("fail(x, 5)", lambda x: winsim.fail(x, 5), none, STANDIN),
        ("fail(function, x)", lambda x: winsim.fail("GetDriveTypeW", x), none, STANDIN),
        ("fail(function, 5, times=x, skip=x)", lambda x: winsim.fail("GetDriveTypeW", 5, times=x, skip=x), none,
         STANDIN),
        ("fail(paths, 234, returned_length=x)",
         lambda x: winsim.fail("GetVolumePathNamesForVolumeNameW", 234, returned_length=x), none, STANDIN),
        ("open_handle(x)", winsim.open_handle, integer, STANDIN),
        ("close_handle(x)", winsim.close_handle, none, STANDIN),
        ("set_last_error(x)", winsim.set_last_error, none, STANDIN),
        ("get_last_error(x)", winsim.get_last_error, nothing, (TypeError,)),
        ("calls(x)", winsim.calls, nothing, (TypeError,)),
        ("open_searches(x)", winsim.open_searches, nothing, (TypeError,)),
        ("sample_volumes(x)", winsim.sample_volumes, nothing, (TypeError,)),
        ("reset(x)", winsim.reset, nothing, (TypeError,)),
        ("use_sample_machine(x)", winsim.use_sample_machine, nothing, (TypeError,)),
        ("use_this_machine(x)", getattr(winsim, "use_this_machine", winsim.reset), nothing, (TypeError,)),
    ]


# -- keywords taken away during the call ---------------------------------------

class Emptying(object):
    """Empties the dict it was put in as soon as the function looks at it:
    the host hands a **dict to the function as it is, so the function must
    hold the objects it took from it."""

    def __init__(self, keywords):
        self.keywords = keywords

    def empty(self):
        self.keywords.clear()
        self.keywords = None

    def __str__(self):
        self.empty()
        return "5"

    def __nonzero__(self):
        self.empty()
        return True

    def __getattr__(self, name):
        self.empty()
        raise AttributeError(name)


def emptied_keyword_calls(world):
    """(label, function making the call, check, documented exceptions): the
    other arguments live only in the keyword dict."""
    methods = ServiceClass.__dict__

    def call(function, factories, args=()):
        # Made here, so that the keyword dict holds the only references.
        keywords = {}
        for name, make in factories.items():
            keywords[name] = Emptying(keywords) if make is Emptying else make()
        EmptyingName.keywords = keywords
        return apply(function, args, keywords)

    def handle():
        return Handle(world.handle)

    return [
        ("IsFAT(serial_number=1, **{<name whose __eq__ raises>: handle})",
         lambda: call(volumes.IsFAT, {"serial_number": lambda: 1, RaisingName("handle"): handle}), nothing,
         (TypeError,)),
        ("IsFAT(serial_number=1, **{<name whose __eq__ empties the keywords>: handle})",
         lambda: call(volumes.IsFAT, {"serial_number": lambda: 1, EmptyingName("handle"): handle}), nothing,
         (TypeError,)),
        ("IsFAT(1, handle, **{non-BMP name with NUL: 1})",
         lambda: call(volumes.IsFAT, {u"\U0001F600\0x": lambda: 1}, (1, handle())), nothing, (TypeError,)),
        ("AllVolumeEntries(**{<unicode subclass name>: True})",
         lambda: call(world.service.AllVolumeEntries, {UnicodeSubclass(u"force_update"): lambda: True}), table, ()),
        ("IsFAT(serial_number=<empties>, handle=...)",
         lambda: call(volumes.IsFAT, {"serial_number": Emptying, "handle": lambda: Handle(world.closed_handle)}),
         boolean, ()),
        ("IsFAT(serial_number=..., handle=<empties>)",
         lambda: call(volumes.IsFAT, {"serial_number": world.uncached_serial, "handle": Emptying}), nothing,
         (AttributeError,)),
        ("AllVolumeEntries(self=..., force_update=<empties>)",
         lambda: call(methods["AllVolumeEntries"], {"self": built_service, "force_update": Emptying}), table, ()),
        ("GetVolumeEntryForDeviceNumber(self=..., st_dev=<empties>)",
         lambda: call(methods["GetVolumeEntryForDeviceNumber"], {"self": built_service, "st_dev": Emptying}),
         entry_or_none, ()),
        ("FindVolumeID(self=..., stat_result=<empties>)",
         lambda: call(methods["FindVolumeID"], {"self": built_service, "stat_result": Emptying}), nothing,
         (AttributeError,)),
        ("_PopulateVolumeTable(self=..., current_volume_ids=<empties>)",
         lambda: call(methods["_PopulateVolumeTable"], {"self": built_service, "current_volume_ids": Emptying}),
         token, ()),
    ]


class RaisingName(str):
    """A keyword name that cannot be compared."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Injected("__eq__ of a keyword name")


class EmptyingName(str):
    """A keyword name that empties its dict when compared."""

    __hash__ = str.__hash__
    keywords = None

    def __eq__(self, other):
        if EmptyingName.keywords is not None:
            EmptyingName.keywords.clear()
            EmptyingName.keywords = None
        return str.__eq__(self, other)


# -- the run in a fresh interpreter --------------------------------------------

class World(object):
    """The scripted machine, handles on it, a service with its table built."""

    def __init__(self):
        use_machine()
        self.handle = winsim.open_handle(MACHINE[1]["name"])
        self.closed_handle = winsim.open_handle(MACHINE[0]["name"])
        winsim.close_handle(self.closed_handle)
        self.service = volumes.VolumeInfo.NewInstance()
        self.service.AllVolumeEntries()
        self._serial = 1 << 20

    def uncached_serial(self):
        """A serial number IsFAT has no answer for yet."""
        self._serial += 1
        return self._serial


def announce(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def check_call(label, call, check, documented):
    """Makes one call, announced first; returns a violation or None."""
    announce("CALL " + label)
    try:
        result = call()
    except documented:
        return None
    except Exception as error:
        return "%s raised %s: %s" % (label, type(error).__name__, error)
    problem = check(result)
    return "%s %s" % (label, problem) if problem else None


def run_zoo():
    """Runs every call with every zoo object; prints VIOLATION lines and a
    final DONE line with the number of calls."""
    with QuietLog():
        world = World()
        count = 0
        for call_label, function, check, documented in calls(world):
            for label, make in zoo(world):
                count += 1
                violation = check_call("%s with x = %s" % (call_label, label), lambda: function(make()), check,
                                       documented)
                if violation:
                    announce("VIOLATION " + violation)
        for label, call, check, documented in emptied_keyword_calls(world):
            count += 1
            violation = check_call(label, call, check, documented)
            if violation:
                announce("VIOLATION " + violation)
        # Last, as they change the machine: each on an empty one.
        for call_label, function, check, documented in standin_calls():
            for label, make in zoo(world):
                count += 1
                winsim.reset()
                violation = check_call("%s with x = %s" % (call_label, label), lambda: function(make()), check,
                                       documented)
                if violation:
                    announce("VIOLATION " + violation)
    announce("DONE %d" % count)


class HostileArgumentsTest(unittest.TestCase):

    def test_zoo(self):
        status, stdout, stderr = support.run_python("import test_hostile_arguments\n"
                                                    "test_hostile_arguments.run_zoo()\n")
        lines = stdout.splitlines()
        announced = [line[5:] for line in lines if line.startswith("CALL ")]
        self.assertEqual(status, 0, "the process ended with status %d during the call: %s\n%s"
                         % (status, announced[-1] if announced else "(none)", stderr[-3000:]))
        self.assertTrue(lines and lines[-1].startswith("DONE "), stderr[-3000:])
        self.assertEqual(int(lines[-1].split()[1]), len(announced))
        self.assertGreater(len(announced), 2000)
        violations = [line[10:] for line in lines if line.startswith("VIOLATION ")]
        self.assertEqual(violations, [], "\n".join(violations))


if __name__ == "__main__":
    unittest.main()
