"""pyserial's Windows backend, unmodified, against a simulated port with the
9-pin loopback plug. Every test starts from a fresh world."""
import ctypes
import threading
import unittest

import brisum.pyserial as bp

K = bp.kernel32()
K.GetTickCount64.restype = ctypes.c_uint64
K.Sleep.argtypes = [ctypes.c_uint32]

WORLD = 'add loopback-plug PortName="COM1"\n'


def settle(ms=10):
    """Lets the world run (this thread waits inside the layer)."""
    K.Sleep(ms)


class PortTest(unittest.TestCase):
    def setUp(self):
        bp.reset_world(WORLD)
        self.port = bp.Serial("COM1", 115200, timeout=1)

    def tearDown(self):
        self.port.close()


class Settings(PortTest):
    FLOW = dict(xonxoff=False, rtscts=False, dsrdtr=False)
    ROWS = [
        dict(FLOW, baudrate=9600, bytesize=7, parity="E", stopbits=1),
        dict(FLOW, baudrate=57600, bytesize=8, parity="O", stopbits=2),
        dict(FLOW, baudrate=300, bytesize=5, parity="N", stopbits=1.5),
        dict(FLOW, baudrate=921600, bytesize=8, parity="M", stopbits=1, xonxoff=True),
        dict(FLOW, baudrate=115200, bytesize=6, parity="S", stopbits=1, rtscts=True),
        dict(FLOW, baudrate=4800, bytesize=8, parity="N", stopbits=1, dsrdtr=True),
    ]

    def test_settings_roundTripThroughTheDriver(self):
        for row in self.ROWS:
            with self.subTest(**row):
                self.port.apply_settings(row)
                dcb = bp.win32.DCB()
                self.assertTrue(bp.win32.GetCommState(self.port._port_handle, ctypes.byref(dcb)))
                self.assertEqual(dcb.BaudRate, row["baudrate"])
                self.assertEqual(dcb.ByteSize, row["bytesize"])
                self.assertEqual(dcb.Parity, "NOEMS".index(row["parity"]))
                self.assertEqual(dcb.StopBits, {1: 0, 1.5: 1, 2: 2}[row["stopbits"]])
                self.assertEqual(bool(dcb.fOutX and dcb.fInX), row["xonxoff"])
                self.assertEqual(bool(dcb.fOutxCtsFlow), row["rtscts"])
                self.assertEqual(bool(dcb.fOutxDsrFlow), row["dsrdtr"])
                reopened = bp.Serial()
                reopened.apply_settings(self.port.get_settings())
                self.assertEqual(reopened.get_settings(), self.port.get_settings())


class Reads(PortTest):
    def test_read_timeoutReturnsWhatCameInVirtualTime(self):
        self.port.timeout = 0.5
        self.port.write(b"abc")
        start = K.GetTickCount64()
        self.assertEqual(self.port.read(10), b"abc")
        self.assertGreaterEqual(K.GetTickCount64() - start, 500)

    def test_read_nonBlockingAndNothingThere(self):
        self.port.timeout = 0
        self.assertEqual(self.port.read(10), b"")
        self.port.timeout = 0.2
        start = K.GetTickCount64()
        self.assertEqual(self.port.read(1), b"")
        # The driver's timer fires at the first clock tick (15.625 ms) at or after its time.
        self.assertGreaterEqual(K.GetTickCount64() - start, 200)
        self.assertLess(K.GetTickCount64() - start, 216)

    def test_loopback_all256ByteValues(self):
        data = bytes(range(256))
        self.assertEqual(self.port.write(data), 256)
        self.assertEqual(self.port.read(256), data)
        self.assertEqual(self.port.in_waiting, 0)

    def test_inWaiting_countsReceivedBytes(self):
        self.port.write(b"12345")
        settle()
        self.assertEqual(self.port.in_waiting, 5)
        self.port.reset_input_buffer()
        self.assertEqual(self.port.in_waiting, 0)


class ModemLines(PortTest):
    def test_rtsComesBackAsCts(self):
        for level in (False, True, False):
            self.port.rts = level
            settle()
            self.assertEqual(self.port.cts, level)

    def test_dtrComesBackAsDsrAndRing(self):
        for level in (False, True, False):
            self.port.dtr = level
            settle()
            self.assertEqual(self.port.dsr, level)
            self.assertEqual(self.port.ri, level)


class Cancels(PortTest):
    def _until_done(self, thread, cancel):
        # The cancel may come before the operation is in flight: repeat it.
        for _ in range(2000):
            cancel()
            thread.join(0.005)
            if not thread.is_alive():
                return
        self.fail("the operation was not cancelled")

    def test_cancelRead_endsABlockedRead(self):
        self.port.timeout = None
        got = []
        reader = threading.Thread(target=lambda: got.append(self.port.read(10)))
        reader.start()
        self._until_done(reader, self.port.cancel_read)
        self.assertEqual(got, [b""])

    def test_cancelWrite_endsAWriteTheDeviceNeverTakes(self):
        bp.run_world("answer bulk-out default never\n")
        self.port.write_timeout = None
        done = []
        writer = threading.Thread(target=lambda: done.append(self.port.write(b"stuck")))
        writer.start()
        self._until_done(writer, self.port.cancel_write)
        self.assertEqual(len(done), 1)


class Opening(unittest.TestCase):
    def setUp(self):
        bp.reset_world(WORLD)

    def test_open_secondOpenOfTheExclusivePortFails(self):
        first = bp.Serial("COM1")
        try:
            with self.assertRaises(bp.SerialException):
                bp.Serial("COM1")
        finally:
            first.close()
        bp.Serial("COM1").close()

    def test_open_missingPortFails(self):
        with self.assertRaises(bp.SerialException):
            bp.Serial("COM9")


if __name__ == "__main__":
    unittest.main()
