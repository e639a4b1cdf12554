"""Process-wide services."""

import threading


class Singleton(object):
    """Class decorator: one shared instance of the class per process.

        @Singleton
        class Service(object): ...

    `Service()` returns the shared instance, created by the class's
    `__init__` on the first call (the creation is thread-safe; arguments
    are passed to `__init__` then, and refused on later calls).

    Attributes of the class are reachable through the decorated name
    (`Service.SomeMethod`, `Service.__doc__`); the class itself is
    `Service.cls`. `Service.NewInstance(*args, **kwargs)` constructs a
    fresh, independent instance that is not shared (meant for tests).
    """

    def __init__(self, cls):
        self.cls = cls
        self.__name__ = cls.__name__
        self.__module__ = cls.__module__
        self.__doc__ = cls.__doc__
        self._instance = None
        self._lock = threading.Lock()

    def __call__(self, *args, **kwargs):
        instance = self._instance
        if instance is None:
            with self._lock:
                instance = self._instance
                if instance is None:
                    instance = self._instance = self.cls(*args, **kwargs)
                    return instance
        if args or kwargs:
            raise TypeError("%s() is already constructed; it takes no arguments now" % self.__name__)
        return instance

    def NewInstance(self, *args, **kwargs):
        """Construct a fresh instance of the class, independent of the shared one."""
        return self.cls(*args, **kwargs)

    def __getattr__(self, name):
        # Only reached for names the decorator itself lacks: the class's attributes.
        if name == "cls":  # not yet set (during construction or unpickling)
            raise AttributeError(name)
        return getattr(self.cls, name)

    def __repr__(self):
        return "<Singleton %s.%s>" % (self.cls.__module__, self.cls.__name__)
