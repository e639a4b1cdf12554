"""The record that describes one volume, and the kinds of device it can be on."""


class DeviceType(object):
    """Kind of device a volume lives on.

    The members UNKNOWN, REMOVABLE, INTERNAL, NETWORK and RAM are the only
    instances; they compare by identity and print as DeviceType.<NAME>.
    """

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "DeviceType.%s" % self.name


for _name in ("UNKNOWN", "REMOVABLE", "INTERNAL", "NETWORK", "RAM"):
    setattr(DeviceType, _name, DeviceType(_name))
del _name


class VolumeEntry(object):
    """One volume: an immutable record built from exactly these keywords:

    volume, mountpoint, device_file, device_number, uuid, model,
    device_type, label, filesystem, size

    All are required and none may be given by position. Records are equal
    (and hash alike) when all their fields are equal.
    """

    FIELDS = ("volume", "mountpoint", "device_file", "device_number", "uuid",
              "model", "device_type", "label", "filesystem", "size")
    __slots__ = FIELDS

    def __init__(self, **fields):
        missing = [name for name in self.FIELDS if name not in fields]
        unexpected = sorted(set(fields) - set(self.FIELDS))
        if missing or unexpected:
            problems = []
            if missing:
                problems.append("missing " + ", ".join(missing))
            if unexpected:
                problems.append("unexpected " + ", ".join(unexpected))
            raise TypeError("VolumeEntry() keyword arguments: %s" % "; ".join(problems))
        for name in self.FIELDS:
            object.__setattr__(self, name, fields[name])

    def __setattr__(self, name, value):
        raise AttributeError("VolumeEntry is immutable")

    __delattr__ = __setattr__

    def _Values(self):
        return tuple(getattr(self, name) for name in self.FIELDS)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._Values() == other._Values()

    def __ne__(self, other):
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __hash__(self):
        return hash(self._Values())

    def __repr__(self):
        return "VolumeEntry(%s)" % ", ".join(
            "%s=%r" % (name, getattr(self, name)) for name in self.FIELDS)
