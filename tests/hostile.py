"""Hostile argument objects shared by the robustness tests."""


class Boom(Exception):
    pass


class Raises:
    def __int__(self):
        raise Boom


class SubclassInt:
    def __int__(self):
        return type("Sub", (int,), {})(3)
