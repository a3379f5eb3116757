"""halfmoon: light curves of transiting planets whose two limbs differ."""

__version__ = "0.1.0"
