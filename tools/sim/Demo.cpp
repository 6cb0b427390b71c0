/*
 * Demo.cpp - the built-in demonstration, written in the scenario language
 * so that `brisum-sim demo --script` shows exactly what runs.
 */
#include "Demo.h"

namespace sim {

const char *DemoScript()
{
    return R"(# The built-in demonstration of brisum-sim.
#
# A loopback CDC ACM device: what the host sends on bulk-OUT comes back on
# bulk-IN; the host's DTR comes back as DSR and its RTS as carrier (DCD with
# CTS), reported through SERIAL_STATE notifications.

note "plug in a loopback CDC ACM device whose hardware key names it COM3"
dev: add loopback PortName="COM3"
expect dev started
expect link COM3 \Device\Serial0
expect serialcomm \Device\Serial0 = "COM3"

note "open the port and set the line: 115200 8N1, DTR and RTS on"
port: open COM3
baud: ioctl SET_BAUD_RATE 115200
run
expect baud success info=4
expect setup SET_LINE_CODING 115200
line: ioctl SET_LINE_CONTROL 8N1
run
expect line success info=3
expect setup SET_LINE_CODING 115200 8N1
lines: ioctl SET_WAIT_MASK CTS|DSR
dsr: ioctl WAIT_ON_MASK
dtr: ioctl SET_DTR
expect setup SET_CONTROL_LINE_STATE DTR
run
expect dsr success info=4 Events=DSR
rts: ioctl SET_RTS
expect setup SET_CONTROL_LINE_STATE DTR|RTS
run
expect rts success
status: ioctl GET_MODEMSTATUS
expect status success info=4 ModemStatus=DTR|RTS|CTS|DSR|DCD

note "time-outs: a read returns what it has after 500 ms"
timeouts: ioctl SET_TIMEOUTS ri=0 rm=0 rc=500 wm=0 wc=1000
expect timeouts success info=20
mask: ioctl SET_WAIT_MASK RXCHAR|TXEMPTY
wait: ioctl WAIT_ON_MASK

note "write a message; the device sends it back"
msg: write "Hello from brisum!\r\n"
run
expect msg success info=20
expect bulk-out "Hello from brisum!\r\n" sizes=20
expect wait success info=4 Events=RXCHAR
back: read 32
run
expect back timeout info=20 text="Hello from brisum!\r\n" after=500ms

note "a read that waits, then a purge that aborts it"
slow: read 10
advance 100ms
expect slow pending
purge: ioctl PURGE RXABORT|RXCLEAR|TXABORT|TXCLEAR
expect purge success info=4
expect slow cancelled info=0

note "close the port and unplug the device"
close port
remove dev
expect dev removed
expect link COM3 none
expect serialcomm empty
expect serial-count 0
expect pool 0
)";
}

} // namespace sim
