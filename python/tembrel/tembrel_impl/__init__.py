"""Native implementation of tembrel: the extension module ``vorndal``."""
