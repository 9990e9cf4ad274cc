"""The package's version: the library's (CMake's project version); CMake checks they agree."""

__version__ = "3.1.0"
