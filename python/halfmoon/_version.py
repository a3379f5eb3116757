"""The package version, defined once (the build reads it from here)."""

__version__ = "0.2.0"
