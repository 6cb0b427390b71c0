"""brisum's Python side: brisum.pyserial runs pyserial's Windows backend over
the simulated ports of libbrisum_win32.so."""
